# Shared by scripts/test, scripts/demo and scripts/bench: installs what is
# missing, builds, and runs one Xvfb and one wineserver for the whole run.
# Source it; it defines functions only.

QS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QS_PACKAGES=(cmake ninja-build python3 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libz-mingw-w64-dev zlib1g-dev wine wine64
  xvfb xauth x11-apps imagemagick nginx clang libclang-rt-14-dev googletest libgtest-dev
  libgmock-dev libbenchmark-dev curl clang-format openssl ca-certificates tinyproxy libssl-dev osslsigncode unzip)

qs_log() { printf '\n== %s\n' "$*" >&2; }
qs_sudo() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

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
  trap qs_stop_all EXIT
}

# Everything a script started, and the trust it gave the test authority.
qs_stop_all() {
  qs_stop_wine
  qs_stop_nginx
  qs_stop_proxy
  qs_untrust_test_authority
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

# Certificates for the HTTPS tests, made once under build/tls: a test
# authority and, signed by it, a certificate for localhost, an expired one and
# one for another host; and a certificate for localhost from an authority
# nobody trusts.
qs_make_tls() {
  QS_TLS=$QS_ROOT/build/tls
  export QS_TLS
  [ -f "$QS_TLS/done" ] && return 0
  rm -rf "$QS_TLS" && mkdir -p "$QS_TLS/ca-db" && cd "$QS_TLS" || return 1
  local o=(-loglevel error)
  authority() {  # authority NAME CN
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=$2" -keyout "$1.key" -out "$1.crt" \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  }
  leaf() {  # leaf NAME HOST AUTHORITY [START END]
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$1.key" -out "$1.csr" 2>/dev/null
    printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$2" >"$1.ext"
    if [ $# -ge 5 ]; then
      : >ca-db/index.txt && echo 1000 >ca-db/serial
      cat >"$1.cnf" <<CNF
[ca]
default_ca = test
[test]
dir = $QS_TLS/ca-db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = anything
copy_extensions = none
[anything]
commonName = supplied
CNF
      openssl ca -batch -config "$1.cnf" -cert "$3.crt" -keyfile "$3.key" -in "$1.csr" -out "$1.crt" \
        -startdate "$4" -enddate "$5" -extfile "$1.ext" -notext 2>/dev/null
    else
      openssl x509 -req -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" -CAcreateserial -days 3650 -sha256 \
        -extfile "$1.ext" -out "$1.crt" 2>/dev/null
    fi
  }
  authority ca "Quillstone Test Authority" && authority stranger "Nobody Trusts This Authority" &&
    leaf localhost localhost ca && leaf expired localhost ca 20200101000000Z 20200201000000Z &&
    leaf wronghost wronghost.example ca && leaf untrusted localhost stranger || { cd "$QS_ROOT"; return 1; }
  touch done
  cd "$QS_ROOT"
}

# Makes the test authority trusted the way the platform trusts one: in the
# host's store, which Wine's WinINet reads when the wineserver starts. Undone
# by qs_untrust_test_authority (scripts/test's exit trap calls it).
QS_TRUSTED_CA=/usr/local/share/ca-certificates/quillstone-test-authority.crt
qs_trust_test_authority() {
  qs_sudo cp "$QS_TLS/ca.crt" "$QS_TRUSTED_CA" && qs_sudo update-ca-certificates >/dev/null 2>&1
}
qs_untrust_test_authority() {
  if [ -f "$QS_TRUSTED_CA" ]; then
    qs_sudo rm -f "$QS_TRUSTED_CA" && qs_sudo update-ca-certificates --fresh >/dev/null 2>&1
  fi
}

# Releases signed as a publisher signs them, with the native uibpack and the
# key whose public half the tests' signed build of Quillstone carries:
# $QS_SIGNED_RELEASES/<release>/ holds the files, the manifest and its
# signature, for releases 4 and 5.
qs_sign_test_releases() {
  local keys=$QS_ROOT/build/windows/test-keys out=$QS_ROOT/build/windows/signed-releases
  local uibpack=$QS_ROOT/build/host/tools/uibpack/uibpack dir r version key
  rm -rf "$out"
  # Releases 4, 5 and 6 under keys version 1 (release key 1); "rotated" is
  # release 3 under keys version 2, which lists release key 2 only. Their
  # signed-two.bin is one MiB of the same bytes but the first, the release's
  # digit: one release over another differs in one piece of its block map.
  for dir in 4 5 6 rotated; do
    r=$dir version=1 key=1
    [ "$dir" = rotated ] && r=3 version=2 key=2
    mkdir -p "$out/$dir"
    printf 'signed one, release %s\n' "$r" >"$out/$dir/signed-one.txt"
    head -c 1048576 /dev/zero | openssl enc -aes-128-ctr -nosalt -K 0 -iv 0 2>/dev/null >"$out/$dir/signed-two.bin"
    printf '%s' "$r" | dd of="$out/$dir/signed-two.bin" bs=1 count=1 conv=notrunc 2>/dev/null
    "$uibpack" keys --root "$keys/root.pem" --version "$version" --out "$out/$dir" \
      "$keys/release-$key.pub.pem" >/dev/null || return 1
    "$uibpack" sign --key "$keys/release-$key.pem" --release "$r" --out "$out/$dir" \
      "$out/$dir/signed-one.txt" "sub\\signed-two.bin=$out/$dir/signed-two.bin" >/dev/null || return 1
  done
  export QS_SIGNED_RELEASES=$out
}

# A forwarding proxy on 127.0.0.1:50985 for the proxy tests; its log is
# QS_PROXY_LOG. Nothing listens on 50986: a proxy that is configured but down.
qs_start_proxy() {
  local dir=$QS_ROOT/build/proxy
  mkdir -p "$dir" && rm -f "$dir/tinyproxy.log"
  cat >"$dir/tinyproxy.conf" <<CONF
Port 50985
Listen 127.0.0.1
Timeout 60
MaxClients 20
LogFile "$dir/tinyproxy.log"
LogLevel Info
Allow 127.0.0.1
ConnectPort 443
CONF
  export QS_PROXY_LOG=$dir/tinyproxy.log
  tinyproxy -d -c "$dir/tinyproxy.conf" >/dev/null 2>&1 &
  QS_PROXY_PID=$!
}

qs_stop_proxy() {
  if [ -n "${QS_PROXY_PID:-}" ]; then
    kill "$QS_PROXY_PID" 2>/dev/null || true
    wait "$QS_PROXY_PID" 2>/dev/null || true
    unset QS_PROXY_PID
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
      proxy_read_timeout 120s;
    }
  }
$(qs_nginx_tls_servers)
}
CONF
  mkdir -p "$dir/tmp"
  export QS_NGINX_LOG=$dir/logs/access.log
  nginx -c "$dir/nginx.conf" -p "$dir" || return 1
  QS_NGINX_STARTED=1
}

# With the test certificates made (qs_make_tls), https://localhost serves the
# same folder, and sends the files named tls-<case>-* on to a server that
# presents the certificate of that case (tls-elsewhere-*: a good one), or to
# plain http.
qs_nginx_tls_servers() {
  [ -n "${QS_TLS:-}" ] && [ -f "$QS_TLS/done" ] || return 0
  local name port
  cat <<TLS
  server {
    listen 127.0.0.1:443 ssl;
    ssl_certificate $QS_TLS/localhost.crt;
    ssl_certificate_key $QS_TLS/localhost.key;
    root $QS_WWW;
    location ~ ^/upgrade/tls-expired- { return 302 https://localhost:50443\$request_uri; }
    location ~ ^/upgrade/tls-untrusted- { return 302 https://localhost:50444\$request_uri; }
    location ~ ^/upgrade/tls-wronghost- { return 302 https://localhost:50445\$request_uri; }
    location ~ ^/upgrade/tls-elsewhere- { return 302 https://localhost:50446\$request_uri; }
    location ~ ^/upgrade/tls-plain- { return 302 http://localhost\$request_uri; }
  }
TLS
  for pair in expired:50443 untrusted:50444 wronghost:50445 localhost:50446; do
    name=${pair%%:*} port=${pair##*:}
    cat <<TLS
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $QS_TLS/$name.crt;
    ssl_certificate_key $QS_TLS/$name.key;
    root $QS_WWW;
  }
TLS
  done
}

qs_stop_nginx() {
  if [ -n "${QS_NGINX_STARTED:-}" ]; then
    nginx -c "$QS_NGINX_DIR/nginx.conf" -p "$QS_NGINX_DIR" -s stop >/dev/null 2>&1 || true
    unset QS_NGINX_STARTED
  fi
}
