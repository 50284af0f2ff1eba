#!/usr/bin/env bash
# The installing step of scripts/lib.sh (install_missing) against scripted
# package tools: shims/ on PATH stand for apt-get, dpkg, dpkg-query, id and
# sudo, with their state in a scratch folder. Nothing here touches the real
# package database, and nothing needs Wine.
#
# Each case says what the machine is like and what the run must do: go on
# with a warning, or stop naming the package, and leave the architecture
# list as it was.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
LIB=$HERE/../../scripts/lib.sh
passed=0
failed=0

# run_case NAME SETUP... : a fresh state, SETUP commands run in it, then
# install_missing in a subshell. Leaves STATE, OUT (its output) and RC.
run_case() {
  CASE=$1
  shift
  STATE=$(mktemp -d /tmp/quarn-setup-test.XXXXXX)
  : >"$STATE/installed"
  : >"$STATE/archs"
  : >"$STATE/calls"
  local setup
  for setup in "$@"; do (cd "$STATE" && eval "$setup"); done
  OUT=$(case_body 2>&1)
  RC=$?
}

# The run itself, in the subshell of run_case.
case_body() {
  (
    export SHIM_STATE=$STATE PATH="$HERE/shims:$PATH"
    export CAN_RUN_32BIT=${CASE_CAN_RUN_32BIT:-1} SHIM_UID=${CASE_UID:-0}
    export QUARN_REQUIRE_32BIT=${CASE_REQUIRE_32BIT:-0}
    unset SUITE32_MISSING
    # shellcheck disable=SC1090
    source "$LIB"
    # As in scripts/test: any command that fails ends the run.
    set -e
    trap 'echo "SUITE32_MISSING=${SUITE32_MISSING:-}"' EXIT
    install_missing
  )
}

check() {
  local what=$1
  shift
  if "$@"; then return 0; fi
  echo "not ok - $CASE: $what"
  echo "$OUT" | sed 's/^/    | /'
  CASE_FAILED=1
  return 1
}

finish_case() {
  if [ "${CASE_FAILED:-0}" = 1 ]; then failed=$((failed + 1)); else passed=$((passed + 1)); echo "ok - $CASE"; fi
  CASE_FAILED=0
  rm -rf "$STATE"
}

has() { grep -qF -- "$1" <<<"$OUT"; }
installed() { grep -qx -- "$1" "$STATE/installed"; }
archs_are() { [ "$(sort "$STATE/archs" | tr '\n' ' ')" = "$1" ]; }

# 1. The package lists fail in part; everything the run needs still installs.
run_case "a package list that fails in part is a warning" "touch update-fails"
check "exit 0" [ "$RC" = 0 ]
check "warns with apt's error lines" has "warning: apt-get update failed in part"
check "shows apt's own error" has "Mirror sync in progress?"
check "installs the run's packages" installed cmake
check "installs wine32" installed wine32:i386
check "the 32-bit suite can run" has "SUITE32_MISSING="$'\n'
check "keeps the i386 architecture it added for wine32" archs_are "i386 "
finish_case

# 2. wine32 cannot be installed (the i386 index out of step with amd64).
run_case "wine32 that cannot be installed leaves the 32-bit suite out" "touch update-fails" "echo wine32:i386 >uninstallable"
check "exit 0" [ "$RC" = 0 ]
check "says why, with apt's reason" has "SUITE32_MISSING=wine32:i386 cannot be installed (Unable to correct problems, you have held broken packages.)"
check "shows apt's unmet dependencies" has "The following packages have unmet dependencies:"
check "installs the 64-bit packages" installed wine64
check "takes the i386 architecture away again" archs_are ""
check "removed what it added" grep -q "dpkg --remove-architecture i386" "$STATE/calls"
finish_case

# 3. The same machine, where i386 was there before the run.
run_case "an i386 architecture that was there before stays" "echo i386 >archs" "echo wine32:i386 >uninstallable"
check "exit 0" [ "$RC" = 0 ]
check "architecture list unchanged" archs_are "i386 "
check "never removes it" bash -c "! grep -q remove-architecture '$STATE/calls'"
finish_case

# 4. QUARN_REQUIRE_32BIT=1 makes the same machine fail the run.
CASE_REQUIRE_32BIT=1 run_case "QUARN_REQUIRE_32BIT=1 fails where wine32 cannot be installed" "echo wine32:i386 >uninstallable"
check "fails" [ "$RC" != 0 ]
check "says so" has "QUARN_REQUIRE_32BIT=1, but the 32-bit suite cannot run: wine32:i386 cannot be installed"
check "still leaves the architectures as they were" archs_are ""
finish_case

# 5. A package the run needs cannot be installed: stop, naming it.
run_case "a needed package that cannot be installed stops the run" "echo cmake >uninstallable"
check "fails" [ "$RC" != 0 ]
check "names the package with apt's error" has "cannot install cmake:"
check "shows apt's reason" has "E: Unable to correct problems, you have held broken packages."
check "says the run needs it" has "the run needs cmake, which apt cannot install"
check "installs the other packages" installed ninja-build
check "never reaches the 32-bit packages" bash -c "! grep -q wine32 '$STATE/installed'"
finish_case

# 6. Everything installed already: no apt call at all, no architecture added.
all_installed() {
  (
    export PATH="$HERE/shims:$PATH"
    source "$LIB"
    printf '%s\n' "${PACKAGES[@]}" "${PACKAGES32[@]}" "${PACKAGES32_OPTIONAL[@]}"
  ) >installed
  echo i386 >archs
}
run_case "a machine that has everything is left alone" all_installed
check "exit 0" [ "$RC" = 0 ]
check "calls no apt-get" bash -c "! grep -q apt-get '$STATE/calls'"
finish_case

# 7. An ordinary user with sudo: apt runs through sudo, non-interactively.
CASE_UID=1000 run_case "a user with sudo installs through sudo, asking nothing"
check "exit 0" [ "$RC" = 0 ]
check "apt-get runs through sudo" grep -q "^sudo env DEBIAN_FRONTEND=noninteractive apt-get .*install" "$STATE/calls"
check "with DEBIAN_FRONTEND kept" bash -c "! grep '^apt-get .*install' '$STATE/calls' | grep -v 'DEBIAN_FRONTEND=noninteractive'"
check "dpkg's architecture change through sudo too" grep -q "^sudo env DEBIAN_FRONTEND=noninteractive dpkg --add-architecture i386" "$STATE/calls"
finish_case

# 8. A kernel that runs no 32-bit programs: nothing i386 is attempted.
CASE_CAN_RUN_32BIT=0 run_case "a kernel without IA-32 emulation gets nothing i386"
check "exit 0" [ "$RC" = 0 ]
check "says why" has "SUITE32_MISSING=this kernel does not run 32-bit programs"
check "adds no architecture" archs_are ""
check "installs no i386 package" bash -c "! grep -q ':i386' '$STATE/installed'"
finish_case

# 9. A brand-new machine has no deb-src entries: apt-cache showsrc exits 100.
# scripts/deps adds the entries for the archive the machine uses, updates the
# lists and goes on to fetch the source (which the shim then refuses, so the
# case ends there, saying so).
deps_body() {
  (
    export SHIM_STATE=$STATE PATH="$HERE/shims:$PATH" SHIM_UID=0
    export QUARN_APT_ETC=$STATE/etc-apt QUARN_DEPS_CACHE=$STATE/cache QUARN_TARGET=x86_64
    unset MARIADB_SOURCE_VERSION
    bash "$HERE/../../scripts/deps"
  )
}
fresh_sources() {
  mkdir -p etc-apt/sources.list.d
  printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n' \
    >etc-apt/sources.list.d/debian.sources
  printf '%s\n' dpkg-dev cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix >installed
}
CASE="a machine without deb-src entries gets them and goes on"
STATE=$(mktemp -d /tmp/quarn-setup-test.XXXXXX)
: >"$STATE/installed"; : >"$STATE/archs"; : >"$STATE/calls"
(cd "$STATE" && fresh_sources)
OUT=$(deps_body 2>&1)
RC=$?
check "apt-cache showsrc was asked first" grep -q "^apt-cache showsrc mariadb" "$STATE/calls"
check "deb-src entries added for the archive" grep -qx "Types: deb-src" "$STATE/etc-apt/sources.list.d/quarn-deb-src.sources"
check "for the same archive" grep -q "URIs: http://deb.debian.org/debian" "$STATE/etc-apt/sources.list.d/quarn-deb-src.sources"
check "says so" has "added deb-src entries"
check "updates the lists after adding them" grep -q "^apt-get .*update" "$STATE/calls"
check "goes on to fetch the listed version" grep -q "^apt-get source --download-only -qq mariadb=1:10.11.18-0+deb12u1" "$STATE/calls"
check "shows apt's error for the fetch" has "404  Not Found"
check "stops non-zero, naming why" bash -c "[ $RC != 0 ] && grep -q 'no version of the mariadb source package could be fetched' <<<\"\$0\"" "$OUT"
finish_case

echo "setup: $passed passed, $failed failed"
[ "$failed" = 0 ]
