# Shared by scripts/test, scripts/demo and scripts/bench: installs what is
# missing, builds, and runs one Xvfb and one wineserver for the whole run.
# Source it; it defines functions only.

QS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QS_PACKAGES=(cmake ninja-build python3 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libz-mingw-w64-dev zlib1g-dev wine wine64
  xvfb xauth x11-apps imagemagick nginx clang libclang-rt-14-dev googletest libgtest-dev
  libgmock-dev libbenchmark-dev curl clang-format)

qs_log() { printf '\n== %s\n' "$*" >&2; }

qs_install_packages() {
  local missing=()
  for p in "${QS_PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  qs_log "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

qs_build() {  # qs_build PRESET [targets...]
  local preset=$1
  shift
  qs_log "configuring and building the $preset preset"
  cmake --preset "$preset" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" --target "$@"
  else
    cmake --build --preset "$preset"
  fi
}

# One X display and one persistent wineserver for the whole run: a test
# executable then starts in well under a second.
qs_start_wine() {
  # QS_WINEPREFIX lets a run that must not share the tests' prefix use its own.
  export WINEPREFIX=${QS_WINEPREFIX:-$QS_ROOT/build/wineprefix}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  if [ -z "${DISPLAY:-}" ] || [ "${QS_OWN_DISPLAY:-0}" = 1 ]; then
    local n=99
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    QS_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    qs_log "creating the Wine prefix (once)"
    wineboot -i >/dev/null 2>&1 || true
    # No crash dialog and no debugger: a crash must end the process at once.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1
    wineserver -w
  fi
  wineserver -p
  QS_WINESERVER_STARTED=1
  # Wine starts its system processes (services, the desktop) with the first
  # program of a session, and they inherit that program's output. ctest waits
  # until a test's output is closed, so the test that happened to start them
  # would seem to hang. Start them here with our output closed, and keep them
  # running with one idle program that ends when this shell closes the fifo.
  local fifo=$WINEPREFIX/keepalive.fifo
  rm -f "$fifo" && mkfifo "$fifo"
  wine cmd < "$fifo" > /dev/null 2>&1 &
  exec 9> "$fifo"
  wine cmd /c exit > /dev/null 2>&1
  trap 'qs_stop_wine; qs_stop_nginx' EXIT
}

qs_stop_wine() {
  exec 9>&-
  if [ -n "${QS_WINESERVER_STARTED:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
    unset QS_WINESERVER_STARTED
  fi
  if [ -n "${QS_XVFB_PID:-}" ]; then
    kill "$QS_XVFB_PID" 2>/dev/null || true
    wait "$QS_XVFB_PID" 2>/dev/null || true
    unset QS_XVFB_PID
  fi
}

# A real HTTP server for the upgrade tests and the demo: serves QS_WWW on
# 127.0.0.1:80 (the compiled-in upgrade URL has no port). Files named slow*
# trickle, for tests that interrupt a download. QS_NGINX_DIR gives a run its
# own configuration and files; QS_NETNS says the run has a network namespace of
# its own, where no other server can hold the port.
qs_start_nginx() {
  local dir=${QS_NGINX_DIR:-$QS_ROOT/build/nginx}
  QS_NGINX_DIR=$dir
  export QS_WWW=$dir/www
  mkdir -p "$QS_WWW/upgrade" "$dir/logs"
  # A distribution nginx started by the package install would hold the port.
  [ -z "${QS_NETNS:-}" ] && [ -f /run/nginx.pid ] && nginx -s quit >/dev/null 2>&1 && sleep 1
  cat > "$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log;
events { worker_connections 64; }
http {
  access_log $dir/logs/access.log;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:80;
    root $QS_WWW;
    location ~ ^/upgrade/slow { limit_rate 4k; }
    # For the reliability tests: a server error, a redirect to a file that
    # does not exist, a file whose body arrives one byte per second after its
    # first KiB, and answers scripted by the test itself (its own listener on
    # port 50980, reached through this server).
    location = /upgrade/status500.bin { return 500; }
    location = /upgrade/redirect-missing.bin { return 302 /upgrade/no-such-file.bin; }
    location ~ ^/upgrade/trickle { limit_rate_after 1k; limit_rate 1; }
    location ~ ^/upgrade/scripted- {
      proxy_pass http://127.0.0.1:50980;
      proxy_http_version 1.0;
      proxy_buffering off;
    }
  }
}
CONF
  mkdir -p "$dir/tmp"
  export QS_NGINX_LOG=$dir/logs/access.log
  nginx -c "$dir/nginx.conf" -p "$dir" || return 1
  QS_NGINX_STARTED=1
}

qs_stop_nginx() {
  if [ -n "${QS_NGINX_STARTED:-}" ]; then
    nginx -c "$QS_NGINX_DIR/nginx.conf" -p "$QS_NGINX_DIR" -s stop >/dev/null 2>&1 || true
    unset QS_NGINX_STARTED
  fi
}
