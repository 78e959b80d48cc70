#!/usr/bin/env bash
# Serves a publication folder as the update server does, with nginx on a free
# loopback port, its configuration, logs and pid in a folder of its own.
#   scripts/serve-nginx.sh start FOLDER STATE_DIR [TLS_DIR]   prints the server's URL
# With TLS_DIR (holding localhost.crt and localhost.key) it serves https on a
# second port too, written to STATE_DIR/https-port.
#   scripts/serve-nginx.sh stop STATE_DIR           ends that nginx by its pid
# FOLDER is served as /CentralUpdate/QuarnSqlSolvane/.
set -euo pipefail

nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"

case "${1:-}" in
  start)
    folder="$(cd "$2" && pwd)"
    state="$3"
    tls="${4:-}"
    mkdir -p "$state/tmp"
    for attempt in 1 2 3 4 5; do
      port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
      https_server=""
      if [ -n "$tls" ]; then
        https_port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
        https_server="server {
    listen 127.0.0.1:$https_port ssl;
    server_name localhost;
    ssl_certificate $tls/localhost.crt;
    ssl_certificate_key $tls/localhost.key;
    location /CentralUpdate/QuarnSqlSolvane/ { alias $folder/; }
    location / { return 404; }
  }"
      fi
      cat > "$state/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 64; }
http {
  access_log $state/access.log;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  types { application/zip zip; }
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    location /CentralUpdate/QuarnSqlSolvane/ { alias $folder/; }
    location / { return 404; }
  }
  $https_server
}
CONF
      # As root, the worker serves as root too: the folders of a test session
      # are private to the user that made them.
      [ "$(id -u)" -eq 0 ] && sed -i '1i user root;' "$state/nginx.conf"
      "$nginx_bin" -p "$state" -c "$state/nginx.conf" -e "$state/error.log" >/dev/null 2>&1 &
      echo $! > "$state/pid"
      for _ in $(seq 1 50); do
        if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 0.2)" 2>/dev/null; then
          echo "$port" > "$state/port"
          [ -n "$tls" ] && echo "$https_port" > "$state/https-port"
          echo "http://127.0.0.1:$port"
          exit 0
        fi
        kill -0 "$(cat "$state/pid")" 2>/dev/null || break
        sleep 0.1
      done
      kill "$(cat "$state/pid")" 2>/dev/null || true
    done
    echo "serve-nginx: nginx did not start; see $state/error.log" >&2
    exit 1
    ;;
  stop)
    state="$2"
    if [ -s "$state/pid" ]; then
      pid="$(cat "$state/pid")"
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      rm -f "$state/pid"
    fi
    ;;
  *)
    echo "usage: $0 start FOLDER STATE_DIR | stop STATE_DIR" >&2
    exit 2
    ;;
esac
