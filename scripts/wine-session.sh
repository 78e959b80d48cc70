#!/usr/bin/env bash
# Runs a command inside a throwaway Wine session: its own prefix, Xvfb on a free
# display, a Brazilian-Portuguese locale. Ends only the processes it started.
#   scripts/wine-session.sh COMMAND [ARGS...]
# The prefix path is exported as WINEPREFIX, the event log file as QUARN_EVENT_LOG,
# the local update server as QUARN_UPDATE_URL serving QUARN_UPDATE_ROOT,
# nginx as QUARN_NGINX_URL serving the publication folder QUARN_NGINX_ROOT (and
# as QUARN_NGINX_HTTPS_URL with a certificate for localhost from the session's
# own root, QUARN_TEST_ROOT_DER, in no store until a test adds it), and a
# forward proxy as QUARN_PROXY logging to QUARN_PROXY_LOG;
# KEEP_WINEPREFIX=1 keeps the prefix afterwards.
set -euo pipefail

export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=pt_BR.UTF-8
export WINEPREFIX
WINEPREFIX="$(mktemp -d /tmp/quarn-wine.XXXXXX)"

# Xvfb picks a free display itself and names it on a descriptor once it
# listens: no race with another session choosing at the same moment.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WINEPREFIX/display" >/dev/null 2>&1 &
xvfb_pid=$!
display=""
for _ in $(seq 1 100); do
  [ -s "$WINEPREFIX/display" ] && { display=":$(head -n1 "$WINEPREFIX/display")"; break; }
  sleep 0.1
done
[ -n "$display" ] || { echo "wine-session: Xvfb did not start" >&2; kill "$xvfb_pid" 2>/dev/null; exit 1; }
export DISPLAY="$display"

server_pid=""
proxy_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" >/dev/null 2>&1 || true
  [ -n "$proxy_pid" ] && kill "$proxy_pid" >/dev/null 2>&1 || true
  "$(dirname "$0")/serve-nginx.sh" stop "$WINEPREFIX/nginx" >/dev/null 2>&1 || true
  WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$WINEPREFIX" timeout 20 wineserver -w >/dev/null 2>&1 || true
  kill "$xvfb_pid" >/dev/null 2>&1 || true
  wait "$xvfb_pid" 2>/dev/null || true
  if [ "${KEEP_WINEPREFIX:-0}" != 1 ]; then rm -rf "$WINEPREFIX"; fi
}
trap cleanup EXIT


# One boot per session: the prefix, its registry and the service manager. The
# service manager and the services it starts inherit the boot's error stream, on
# which Wine prints every event-log entry: that file is the session's event log.
export QUARN_EVENT_LOG="$WINEPREFIX/event-log.txt"
WINEDEBUG=-all,+eventlog wineboot -u >/dev/null 2>"$QUARN_EVENT_LOG"
# Keep the wineserver alive, and with it the boot's services: Wine ends a
# prefix's services a moment after its last ordinary program exits, and the
# next program would boot them again, their output no longer in the event log.
# So one ordinary program lives as long as the session: a console reading a
# pipe that only this shell holds open (it ends with the shell, or with
# `wineserver -k`).
wineserver -p >/dev/null 2>&1 || true
mkfifo "$WINEPREFIX/keep-alive"
(cd /tmp && exec wine cmd.exe /q <"$WINEPREFIX/keep-alive" >/dev/null 2>&1) &
exec 4>"$WINEPREFIX/keep-alive"

# A local update server on loopback for the session: files under
# QUARN_UPDATE_ROOT, reachable at QUARN_UPDATE_URL.
export QUARN_UPDATE_ROOT="$WINEPREFIX/update-root"
mkdir -p "$QUARN_UPDATE_ROOT"
python3 "$(dirname "$0")/../tests/win/update_server.py" --root "$QUARN_UPDATE_ROOT" \
  --port-file "$WINEPREFIX/update-port" >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 1 50); do [ -s "$WINEPREFIX/update-port" ] && break; sleep 0.1; done
export QUARN_UPDATE_URL="http://127.0.0.1:$(cat "$WINEPREFIX/update-port")"

# A real web server for what a publisher puts out (scripted faults stay with
# the server above): quarn-publish's folder, served as nginx serves any folder.
export QUARN_NGINX_ROOT="$WINEPREFIX/publicacao"
mkdir -p "$QUARN_NGINX_ROOT"
# A root of the session's own and a certificate for localhost from it.
tls="$WINEPREFIX/tls"
mkdir -p "$tls"
if openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls/root.key" -out "$tls/root.crt" -days 30 \
     -subj "/CN=Quarn SQL test root" -addext "basicConstraints=critical,CA:TRUE" \
     -addext "keyUsage=critical,keyCertSign,cRLSign" >/dev/null 2>&1 &&
   openssl req -newkey rsa:2048 -nodes -keyout "$tls/localhost.key" -out "$tls/localhost.csr" \
     -subj "/CN=localhost" >/dev/null 2>&1 &&
   printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$tls/ext" &&
   openssl x509 -req -in "$tls/localhost.csr" -CA "$tls/root.crt" -CAkey "$tls/root.key" -CAcreateserial \
     -out "$tls/localhost.crt" -days 30 -extfile "$tls/ext" >/dev/null 2>&1; then
  openssl x509 -in "$tls/root.crt" -outform der -out "$tls/root.der"
  export QUARN_TEST_ROOT_DER="$tls/root.der"
else
  tls=""
fi
if command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ]; then
  QUARN_NGINX_URL="$("$(dirname "$0")/serve-nginx.sh" start "$QUARN_NGINX_ROOT" "$WINEPREFIX/nginx" $tls)" || QUARN_NGINX_URL=""
  export QUARN_NGINX_URL
  if [ -n "$QUARN_NGINX_URL" ] && [ -s "$WINEPREFIX/nginx/https-port" ]; then
    export QUARN_NGINX_HTTPS_URL="https://localhost:$(cat "$WINEPREFIX/nginx/https-port")"
  fi
fi

# A forward proxy of the tests' own.
export QUARN_PROXY_LOG="$WINEPREFIX/proxy.log"
python3 "$(dirname "$0")/../tests/win/test_proxy.py" "$WINEPREFIX/proxy-port" "$QUARN_PROXY_LOG" \
  >/dev/null 2>&1 &
proxy_pid=$!
for _ in $(seq 1 50); do [ -s "$WINEPREFIX/proxy-port" ] && break; sleep 0.1; done
export QUARN_PROXY="127.0.0.1:$(cat "$WINEPREFIX/proxy-port")"

"$@" 9>&-
