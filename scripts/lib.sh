# Shared by scripts/test and scripts/demo: installing what is missing,
# building, and a throwaway Wine prefix with its wineserver and X display.
# Everything started here is recorded by PID and stopped by stop_environment.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }

PACKAGES=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth xdotool imagemagick
  googletest python3)
# The installer package (scripts/package) and its tests.
PACKAGES+=(wixl)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

build_all() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$BUILD_DIR" "$@"
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
  if [ -z "${DISPLAY:-}" ] || [ "${QUARN_OWN_DISPLAY:-0}" = 1 ]; then
    local n=$((90 + RANDOM % 400))
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
    ENV_PIDS+=($!)
    export DISPLAY=":$n"
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
  fi
  wineserver -p >/dev/null 2>&1 &
  ENV_PIDS+=($!)
  wine cmd /c exit >/dev/null 2>&1
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
}
