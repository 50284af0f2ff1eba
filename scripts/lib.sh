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

PACKAGES=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth xdotool imagemagick
  googletest python3)
# The installer package (scripts/package) and its tests.
PACKAGES+=(wixl)
# The ADO providers' tests reach a SQLite file through Wine's MSDASQL and ODBC.
PACKAGES+=(unixodbc libsqliteodbc)
# The 32-bit build: its compiler, and (below) Wine's 32-bit half that runs it
# under WOW64.
PACKAGES+=(g++-mingw-w64-i686-posix)

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
if can_run_32bit; then PACKAGES+=(wine32:i386); fi

install_missing() {
  if ! can_run_32bit && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    log "wine32:i386 is installed, but this kernel does not run 32-bit programs: every wine command fails."
    log "Remove it (apt-get remove wine32:i386) or turn IA-32 emulation on (ia32_emulation=on)."
    return 1
  fi
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    case " ${missing[*]}" in
      *:i386*)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
          log "adding the i386 architecture"
          $sudo dpkg --add-architecture i386
        fi
        ;;
    esac
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
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
  QUARN_TARGET=$target ensure_deps
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-$target.cmake" \
    -DQUARN_MARIADB_ROOT="$QUARN_MARIADB_ROOT" >/dev/null
  cmake --build "$dir" "$@"
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
    local n=$((90 + RANDOM % 400))
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
  # Ready for another start_environment (scripts/test runs one per target).
  ENV_PIDS=()
  unset WINEPREFIX
  if [ "${ENV_OWN_DISPLAY:-0}" = 1 ]; then unset DISPLAY; ENV_OWN_DISPLAY=0; fi
}

# The third-party libraries (scripts/deps), built only when their cache
# outside the repository is missing, for QUARN_TARGET (default x86_64).
# Sets QUARN_MARIADB_ROOT.
ensure_deps() {
  QUARN_MARIADB_ROOT=$("$ROOT/scripts/deps" --path)
  if [ ! -f "$QUARN_MARIADB_ROOT/.complete" ]; then
    log "building the MariaDB client library (once per version)"
    # The version is settled once the source lists are there: take the
    # folder the build names.
    QUARN_MARIADB_ROOT=$("$ROOT/scripts/deps")
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

db_client() { mariadb --no-defaults --socket="$DB_SOCKET" -uroot "$@"; }
db_ping() { mariadb-admin --no-defaults --socket="$DB_SOCKET" -uroot ping >/dev/null 2>&1; }

start_database() {
  local missing=()
  for p in "${DB_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local saved=("${PACKAGES[@]}")
    PACKAGES=("${missing[@]}")
    install_missing
    PACKAGES=("${saved[@]}")
  fi
  DB_DIR=$(mktemp -d /tmp/quarn-mariadb.XXXXXX)
  DB_SOCKET=$DB_DIR/mariadbd.sock
  DB_PASSWORD=pw-$RANDOM$RANDOM
  DB_ADMIN_PASSWORD=adm-$RANDOM$RANDOM
  local me
  me=$(id -un)
  mariadb-install-db --no-defaults --user="$me" --datadir="$DB_DIR/data" --skip-test-db \
    --auth-root-authentication-method=socket --auth-root-socket-user="$me" >"$DB_DIR/install.log" 2>&1 || {
    log "mariadb-install-db failed (see $DB_DIR/install.log)"
    return 1
  }
  local attempt _
  for attempt in 1 2 3; do
    DB_PORT=$(free_port)
    mariadbd --no-defaults --user="$me" --datadir="$DB_DIR/data" --socket="$DB_SOCKET" --port="$DB_PORT" \
      --bind-address=127.0.0.1 --skip-name-resolve --pid-file="$DB_DIR/mariadbd.pid" \
      --log-error="$DB_DIR/error.log" --innodb-buffer-pool-size=32M >/dev/null 2>&1 &
    DB_PID=$!
    for _ in $(seq 150); do
      kill -0 "$DB_PID" 2>/dev/null || break
      db_ping && break
      sleep 0.2
    done
    db_ping && break
    log "mariadbd did not start on port $DB_PORT (attempt $attempt, see $DB_DIR/error.log)"
    stop_database_process
    [ "$attempt" = 3 ] && return 1
  done
  # The anonymous users would shadow logins created for '%'.
  db_client -N -e "SELECT CONCAT('DROP USER ''''@''', Host, ''';') FROM mysql.user WHERE User = ''" | db_client
  db_client <<SQL
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
  wine "$BUILD_DIR/bin/quarnlayout.exe" "$file" >/dev/null
}
