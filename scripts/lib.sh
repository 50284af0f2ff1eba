# Shared by scripts/test and scripts/demo: installing what is missing,
# building, and a throwaway Wine prefix with its wineserver and X display.
# Everything started here is recorded by PID and stopped by stop_environment.
# QUARN_TARGET (x86_64, the default, or i686) picks the target of
# ensure_deps; build_target builds either.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
# The 32-bit (i686) build beside it, run under Wine's WOW64.
BUILD32_DIR=${BUILD32_DIR:-$ROOT/build32}

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }

# Under set -e a failing command ends the script: it says which one, so no
# step stops the run without a word (the command's own error precedes it).
# (A function's "return 1" is left out: the function has said why.)
trap 'QUARN_STATUS=$?; case "$BASH_COMMAND" in return*) ;; *) log "failed: $BASH_COMMAND (exit code $QUARN_STATUS, ${BASH_SOURCE[0]##*/} line $LINENO)" ;; esac' ERR
set -E

# duration SECONDS: "4 m 12 s" or "35 s".
duration() {
  if [ "$1" -ge 60 ]; then echo "$(($1 / 60)) m $(($1 % 60)) s"; else echo "$1 s"; fi
}

# phase TEXT COMMAND...: runs the command and logs TEXT with the time it took,
# so a first run that installs and builds for minutes says what it is doing.
phase() {
  local text=$1 start=$SECONDS status=0
  shift
  log "$text ..."
  "$@" || status=$?
  if [ "$status" = 0 ]; then log "$text: done in $(duration $((SECONDS - start)))"
  else log "$text: failed after $(duration $((SECONDS - start)))"; fi
  return "$status"
}

PACKAGES=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth xdotool imagemagick
  googletest python3)
# The installer package (scripts/package) and its tests.
PACKAGES+=(wixl)
# The ADO providers' tests reach a SQLite file through Wine's MSDASQL and ODBC.
PACKAGES+=(unixodbc libsqliteodbc)
# The 32-bit build: its compiler.
PACKAGES+=(g++-mingw-w64-i686-posix)
# Only the 32-bit suite needs these: Wine's 32-bit half, which runs the
# 32-bit programs under WOW64, and then (optional: the ADO test skips
# without them) the i386 ODBC pieces that a 32-bit Wine process loads.
PACKAGES32=(wine32:i386)
PACKAGES32_OPTIONAL=(libodbc2:i386 libsqliteodbc:i386)

# Whether the kernel runs 32-bit x86 programs, which Debian's Wine needs for
# every 32-bit Windows program (its 32-bit loader is a 32-bit Linux program).
# Some virtual machines turn IA-32 emulation off: there execve of an i386
# program fails, and with wine32 installed /usr/bin/wine picks that loader
# and then runs nothing at all, 64-bit programs included. The probe is a
# 93-byte static i386 program that only exits with 0.
can_run_32bit() {
  if [ -z "${CAN_RUN_32BIT:-}" ]; then
    local probe
    probe=$(mktemp /tmp/quarn-probe32.XXXXXX)
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
    chmod +x "$probe"
    CAN_RUN_32BIT=0
    "$probe" 2>/dev/null && CAN_RUN_32BIT=1
    rm -f "$probe"
  fi
  [ "$CAN_RUN_32BIT" = 1 ]
}

# as_root COMMAND...: as root, or through sudo for an ordinary user. apt asks
# nothing (sudo drops the variable unless it is passed like this).
as_root() {
  if [ "$(id -u)" -eq 0 ]; then env DEBIAN_FRONTEND=noninteractive "$@"
  else sudo env DEBIAN_FRONTEND=noninteractive "$@"; fi
}

# (grep reads to the end here: with pipefail, a grep -q that stops at the
# first match turns the writer's SIGPIPE into a failed pipeline.)
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep "install ok installed" >/dev/null; }

# apt_update: refreshes the package lists once. A list that fails in part
# (a mirror in sync, one architecture's index out of step with another's) is
# only a warning: the lists apt has may hold all the run needs, and the
# install that follows says so if they do not.
APT_UPDATED=0
apt_update() {
  [ "$APT_UPDATED" = 1 ] && return 0
  local out
  if ! out=$(as_root apt-get -o DPkg::Lock::Timeout=600 update -qq 2>&1); then
    log "warning: apt-get update failed in part; going on with the package lists it has:"
    printf '%s\n' "$out" | grep -E '^(E|W|Err):' | sed 's/^/    /' >&2
  fi
  APT_UPDATED=1
}

# apt_install PACKAGE...: installs them. On failure APT_ERROR holds apt's own
# explanation (the unmet dependencies and its error lines).
APT_ERROR=""
apt_install() {
  local out
  if out=$(as_root apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@" 2>&1); then return 0; fi
  APT_ERROR=$(printf '%s\n' "$out" | sed -n '/unmet dependencies/,$p;/^E:/p' | awk '!seen[$0]++ && ++n <= 20')
  [ -n "$APT_ERROR" ] || APT_ERROR=$(printf '%s\n' "$out" | tail -5)
  return 1
}

# apt_reason: apt's last error line, for one-line summaries.
apt_reason() { printf '%s\n' "$APT_ERROR" | grep '^E:' | tail -1 | sed 's/^E: //'; }

# Why the 32-bit suite cannot run on this machine; empty when it can. Set by
# install_missing (with apt's reason when wine32 would not install) and
# found out afresh where it did not run.
SUITE32_MISSING=${SUITE32_MISSING:-}
suite32_missing() {
  if [ -z "$SUITE32_MISSING" ]; then
    if ! can_run_32bit; then
      SUITE32_MISSING="this kernel does not run 32-bit programs (IA-32 emulation off)"
    elif ! is_installed wine32:i386; then
      SUITE32_MISSING="wine32:i386 is not installed"
    fi
  fi
  printf '%s' "$SUITE32_MISSING"
}
suite32_runs() { [ -z "$(suite32_missing)" ]; }

install_missing() {
  if ! can_run_32bit && is_installed wine32:i386; then
    log "wine32:i386 is installed, but this kernel does not run 32-bit programs: every wine command fails."
    log "Remove it (apt-get remove wine32:i386) or turn IA-32 emulation on (ia32_emulation=on)."
    return 1
  fi
  install_packages "${PACKAGES[@]}" || return 1
  install_32bit_suite
  if [ -n "$SUITE32_MISSING" ] && [ "${QUARN_REQUIRE_32BIT:-0}" = 1 ]; then
    log "QUARN_REQUIRE_32BIT=1, but the 32-bit suite cannot run: $SUITE32_MISSING"
    return 1
  fi
}

# install_packages PACKAGE...: installs those missing; fails naming each one
# that apt cannot install, with apt's own error.
install_packages() {
  local missing=() p
  for p in "$@"; do is_installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    apt_update
    if ! apt_install "${missing[@]}"; then
      # Name the packages that cannot be had, one by one, with apt's words;
      # the others get installed.
      local failed=()
      for p in "${missing[@]}"; do
        is_installed "$p" && continue
        if ! apt_install "$p"; then
          failed+=("$p")
          log "cannot install $p:"
          printf '%s\n' "$APT_ERROR" | sed 's/^/    /' >&2
        fi
      done
      if [ ${#failed[@]} -gt 0 ]; then
        log "the run needs ${failed[*]}, which apt cannot install"
        return 1
      fi
    fi
  fi
}

# What only the 32-bit suite needs. Nothing here fails the run: where wine32
# cannot be installed, SUITE32_MISSING says why, and an i386 architecture
# added for it is taken away again when nothing of it got installed.
install_32bit_suite() {
  SUITE32_MISSING=""
  if ! can_run_32bit; then
    SUITE32_MISSING="this kernel does not run 32-bit programs (IA-32 emulation off)"
    return 0
  fi
  local missing=() p added=0
  for p in "${PACKAGES32[@]}" "${PACKAGES32_OPTIONAL[@]}"; do is_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    log "adding the i386 architecture for the 32-bit suite"
    as_root dpkg --add-architecture i386
    added=1
    APT_UPDATED=0
    # A run stopped in the middle leaves the list as it found it too (dpkg
    # refuses, harmlessly, once something i386 is installed).
    trap 'as_root dpkg --remove-architecture i386 2>/dev/null; exit 130' INT TERM
  fi
  log "installing for the 32-bit suite: ${missing[*]}"
  apt_update
  for p in "${PACKAGES32[@]}"; do
    is_installed "$p" && continue
    if ! apt_install "$p"; then
      SUITE32_MISSING="$p cannot be installed ($(apt_reason))"
      log "the 32-bit suite will not run: $SUITE32_MISSING; apt said:"
      printf '%s\n' "$APT_ERROR" | sed 's/^/    /' >&2
      break
    fi
  done
  if [ -z "$SUITE32_MISSING" ]; then
    for p in "${PACKAGES32_OPTIONAL[@]}"; do
      is_installed "$p" || apt_install "$p" || log "warning: $p cannot be installed ($(apt_reason)); the 32-bit ADO test will skip"
    done
  fi
  if [ "$added" = 1 ] && ! dpkg-query -W -f='${Architecture} ${Status}\n' 2>/dev/null | grep '^i386 .* installed$' >/dev/null; then
    log "removing the i386 architecture again: nothing of it got installed"
    as_root dpkg --remove-architecture i386
  fi
  if [ "$added" = 1 ]; then trap - INT TERM; fi
  export SUITE32_MISSING
}

# build_all [cmake --build arguments]: the 64-bit build in BUILD_DIR.
build_all() {
  build_target x86_64 "$BUILD_DIR" "$@"
}

# build_target TARGET FOLDER [cmake --build arguments]: configures and builds
# for TARGET (x86_64 or i686, cmake/mingw-w64-TARGET.cmake) in FOLDER.
build_target() {
  local target=$1 dir=$2
  shift 2
  QUARN_TARGET=$target ensure_deps || return 1
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-$target.cmake" \
    -DQUARN_MARIADB_ROOT="$QUARN_MARIADB_ROOT" >/dev/null || {
    log "configuring the $target build in $dir failed (CMake's messages are above)"
    return 1
  }
  cmake --build "$dir" "$@" || {
    log "the $target build in $dir failed (the compiler's messages are above)"
    return 1
  }
}

# A Wine prefix of its own, in a temporary folder, with a persistent
# wineserver and (unless a display is given) an Xvfb display.
ENV_PIDS=()
start_environment() {
  export WINEPREFIX=${WINEPREFIX_OVERRIDE:-$(mktemp -d /tmp/quarn-wine.XXXXXX)}
  # winemenubuilder would turn every shortcut an installer makes into an entry
  # of the Linux desktop's menus, outside the prefix.
  export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEARCH=win64
  # unixODBC, which Wine's odbc32 loads, reads the user data sources from
  # here: the ADO tests write theirs into the prefix, never into $HOME.
  export ODBCINI="$WINEPREFIX/odbc.ini"
  if [ -z "${DISPLAY:-}" ] || [ "${QUARN_OWN_DISPLAY:-0}" = 1 ]; then
    # (Lanes of a suite start side by side: their process ids keep them from
    # trying the same numbers.)
    local n=$((90 + (RANDOM + BASHPID) % 400))
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
    ENV_PIDS+=($!)
    export DISPLAY=":$n"
    ENV_OWN_DISPLAY=1
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
  fi
  log "Wine prefix $WINEPREFIX on display $DISPLAY"
  # A kept prefix (scripts/demo) is ready already; wine updates it by itself when needed.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    # wineboot leaves its own server behind, with a service manager that keeps
    # its database locked (StartService: 1055) for half a minute: start afresh.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    # A display of our own has no window manager, and Wine waits up to two
    # seconds for the missing manager's answer each time it hides a window it
    # lets the manager handle (a dialog hidden or destroyed, the tray icon
    # removed). Windows that Wine handles itself need no answer, and Wine
    # draws their title bars. (Only in a throwaway prefix: the demo's is
    # kept and may later run on a desktop with a window manager.)
    if [ "${ENV_OWN_DISPLAY:-0}" = 1 ] && [ -z "${WINEPREFIX_OVERRIDE:-}" ]; then
      printf '\n[Software\\\\Wine\\\\X11 Driver] %s\n"Managed"="N"\n' "$(date +%s)" >>"$WINEPREFIX/user.reg"
    fi
  fi
  wineserver -p >/dev/null 2>&1 &
  ENV_PIDS+=($!)
  # (Into a file: Wine's own background processes inherit the output, so a
  # pipe to read it would stay open as long as the wineserver runs.)
  wine cmd /c exit >"$WINEPREFIX/first-start.log" 2>&1 || {
    log "Wine cannot run a program in $WINEPREFIX (wine cmd /c exit failed):"
    tail -5 "$WINEPREFIX/first-start.log" | sed 's/^/    /' >&2
    return 1
  }
}

stop_environment() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  for pid in "${ENV_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${ENV_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "${WINEPREFIX:-}" ] && [ -z "${WINEPREFIX_OVERRIDE:-}" ] && [ "${KEEP_PREFIX:-0}" != 1 ]; then
    case "$WINEPREFIX" in /tmp/quarn-wine.*) rm -rf "$WINEPREFIX" ;; esac
  fi
  # Ready for another start_environment (scripts/test runs one per target).
  ENV_PIDS=()
  unset WINEPREFIX
  if [ "${ENV_OWN_DISPLAY:-0}" = 1 ]; then unset DISPLAY; ENV_OWN_DISPLAY=0; fi
}

# The third-party libraries (scripts/deps), built only when their cache
# outside the repository is missing, for QUARN_TARGET (default x86_64).
# Sets QUARN_MARIADB_ROOT.
ensure_deps() {
  # (Callers run this inside phase, where set -e does not act: every failure
  # is checked here.)
  QUARN_MARIADB_ROOT=$("$ROOT/scripts/deps" --path) || {
    log "scripts/deps --path failed (its messages are above)"
    return 1
  }
  if [ ! -f "$QUARN_MARIADB_ROOT/.complete" ]; then
    log "building the MariaDB client library for ${QUARN_TARGET:-x86_64} (once per version)"
    local start=$SECONDS
    # The version is settled once the source lists are there: take the
    # folder the build names.
    QUARN_MARIADB_ROOT=$("$ROOT/scripts/deps") || {
      log "building the MariaDB client library failed (scripts/deps' messages are above)"
      return 1
    }
    if [ ! -f "$QUARN_MARIADB_ROOT/.complete" ]; then
      log "scripts/deps named '$QUARN_MARIADB_ROOT', which holds no finished MariaDB client library"
      return 1
    fi
    log "MariaDB client $(cut -d' ' -f1 "$QUARN_MARIADB_ROOT/.complete" | sed 's/^[0-9]*://') for ${QUARN_TARGET:-x86_64} ready in $(duration $((SECONDS - start)))"
  fi
}

# A native MariaDB server for the product database, from a temporary data
# folder, on 127.0.0.1 and a free port. Never touches a system database.
# After start_database: DB_PID, DB_DIR, DB_PORT, DB_SOCKET, DB_PASSWORD,
# DB_ADMIN_PASSWORD and the names below.
DB_NAME=zrt
DB_LOGIN=quarn_cp
DB_ADMIN_LOGIN=quarn_admin
DB_PID=""
DB_DIR=""
DB_PACKAGES=(mariadb-server mariadb-client python3)

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# The server's administrator is the account of the user who started it,
# over the socket: mariadb-install-db gives that user's name the socket
# login (and root's, which only root can use).
db_client() { mariadb --no-defaults --socket="$DB_SOCKET" -u"$(id -un)" "$@"; }
db_ping() { mariadb-admin --no-defaults --socket="$DB_SOCKET" -u"$(id -un)" ping >/dev/null 2>&1; }

start_database() {
  install_packages "${DB_PACKAGES[@]}" || return 1
  # Debian puts the server in /usr/sbin, which an ordinary user's PATH lacks.
  local mariadbd
  mariadbd=$(PATH=$PATH:/usr/sbin:/usr/local/sbin command -v mariadbd) || {
    log "no mariadbd found (package mariadb-server)"
    return 1
  }
  DB_DIR=$(mktemp -d /tmp/quarn-mariadb.XXXXXX)
  DB_SOCKET=$DB_DIR/mariadbd.sock
  DB_PASSWORD=pw-$RANDOM$RANDOM
  DB_ADMIN_PASSWORD=adm-$RANDOM$RANDOM
  local me
  me=$(id -un)
  # A temporary folder of its own: two servers set up at once in /tmp
  # collide on the names of their temporary tables.
  mkdir -p "$DB_DIR/tmp"
  mariadb-install-db --no-defaults --user="$me" --datadir="$DB_DIR/data" --tmpdir="$DB_DIR/tmp" --skip-test-db \
    --auth-root-authentication-method=socket --auth-root-socket-user="$me" >"$DB_DIR/install.log" 2>&1 || {
    log "mariadb-install-db failed; the end of its log:"
    tail -15 "$DB_DIR/install.log" | sed 's/^/    /' >&2
    return 1
  }
  local attempt _
  for attempt in 1 2 3; do
    DB_PORT=$(free_port)
    "$mariadbd" --no-defaults --user="$me" --datadir="$DB_DIR/data" --tmpdir="$DB_DIR/tmp" --socket="$DB_SOCKET" --port="$DB_PORT" \
      --bind-address=127.0.0.1 --skip-name-resolve --pid-file="$DB_DIR/mariadbd.pid" \
      --log-error="$DB_DIR/error.log" --innodb-buffer-pool-size=32M >/dev/null 2>&1 &
    DB_PID=$!
    for _ in $(seq 150); do
      kill -0 "$DB_PID" 2>/dev/null || break
      db_ping && break
      sleep 0.2
    done
    db_ping && break
    log "mariadbd did not start on port $DB_PORT (attempt $attempt); the end of its log:"
    tail -10 "$DB_DIR/error.log" 2>/dev/null | sed 's/^/    /' >&2
    stop_database_process
    [ "$attempt" = 3 ] && return 1
  done
  # The anonymous users would shadow logins created for '%'.
  db_client -N -e "SELECT CONCAT('DROP USER ''''@''', Host, ''';') FROM mysql.user WHERE User = ''" | db_client
  db_client <<SQL || { log "setting up the product database failed (see $DB_DIR/error.log)"; return 1; }
CREATE DATABASE \`$DB_NAME\` CHARACTER SET utf8mb4;
CREATE USER '$DB_LOGIN'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
GRANT ALL PRIVILEGES ON \`$DB_NAME\`.* TO '$DB_LOGIN'@'127.0.0.1';
CREATE USER '$DB_ADMIN_LOGIN'@'127.0.0.1' IDENTIFIED BY '$DB_ADMIN_PASSWORD';
GRANT ALL PRIVILEGES ON *.* TO '$DB_ADMIN_LOGIN'@'127.0.0.1' WITH GRANT OPTION;
USE \`$DB_NAME\`;
CREATE TABLE sessions (
  id INT AUTO_INCREMENT PRIMARY KEY,
  login VARCHAR(64) NOT NULL,
  started DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP
) CHARACTER SET utf8mb4;
INSERT INTO sessions (login) VALUES ('admin'), ('reseller1'), ('client42');
SQL
  log "MariaDB server $DB_PID on 127.0.0.1:$DB_PORT (data in $DB_DIR)"
}

stop_database_process() {
  if [ -n "$DB_PID" ]; then
    kill "$DB_PID" 2>/dev/null || true
    local _
    for _ in $(seq 100); do kill -0 "$DB_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$DB_PID" 2>/dev/null || true
    wait "$DB_PID" 2>/dev/null || true
    DB_PID=""
  fi
}

# Stops the server started by start_database and removes its data folder.
stop_database() {
  stop_database_process
  case "$DB_DIR" in /tmp/quarn-mariadb.*) rm -rf "$DB_DIR" ;; esac
  DB_DIR=""
}

# Tells the sandbox management service where the server is: quarnsrv answers
# getString(NAME) from the REG_SZ value NAME of HKLM "SOFTWARE\Quarn
# Sandbox\quarnsrv\Settings" and getPassword(KEY) from the value KEY of
# "...\Passwords" (32-bit view, as every key of a layout). The administrator
# login, which only the tests use, goes to "SOFTWARE\Quarn Sandbox\MariaDB".
# Applied after the default layout.
write_database_layout() {
  local file=$DB_DIR/database.layout
  cat >"$file" <<LAYOUT
[key SOFTWARE\\Quarn Sandbox\\quarnsrv\\Settings]
MySQL_DB_HOST = 127.0.0.1
MySQL_DB_PORT = $DB_PORT
QUARN_DATABASE_LOGIN = $DB_LOGIN
mySQLDBName = $DB_NAME
QUARN_DATABASE_PROVIDER_NAME = MySQL

[key SOFTWARE\\Quarn Sandbox\\quarnsrv\\Passwords]
pwd = $DB_PASSWORD

[key SOFTWARE\\Quarn Sandbox\\MariaDB]
AdminLogin = $DB_ADMIN_LOGIN
AdminPassword = $DB_ADMIN_PASSWORD
LAYOUT
  wine "$BUILD_DIR/bin/quarnlayout.exe" "$file" >/dev/null || {
    log "writing the database's settings into the sandbox ($file) failed"
    return 1
  }
}
