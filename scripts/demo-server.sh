#!/usr/bin/env bash
# Publishes an application folder with tovrel-publish and serves it with a private nginx on loopback.
#
#   scripts/demo-server.sh <app-folder> [--version-code N] [--key KEY] [--port PORT] [--dir DIR] [--sign-key PEM]
#       prints the base URL to give the devices as "update/link" (everything else goes to stderr)
#   scripts/demo-server.sh stop [--dir DIR]
#
# DIR (default build/demo-server) holds the nginx configuration, logs, pid file and the served folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "demo-server: $*" >&2; exit 1; }

action=start
if [ "${1:-}" = stop ]; then action=stop; shift; fi
app="" version=2 key=windows port="" sign=() dir="${DEMO_SERVER_DIR:-$root/build/demo-server}"
while [ $# -gt 0 ]; do
  case "$1" in
    --version-code) version=${2:?}; shift 2 ;;
    --key) key=${2:?}; shift 2 ;;
    --port) port=${2:?}; shift 2 ;;
    --dir) dir=${2:?}; shift 2 ;;
    --sign-key) sign=(--sign-key "${2:?}"); shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) [ -z "$app" ] || die "one application folder only"; app=$1; shift ;;
  esac
done
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
conf="$dir/nginx.conf"
pidfile="$dir/nginx.pid"

stop_server() {
  [ -s "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    kill -QUIT "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -TERM "$pid"
  fi
  rm -f "$pidfile"
}

if [ "$action" = stop ]; then
  stop_server
  echo "demo-server: stopped" >&2
  exit 0
fi

[ -n "$app" ] || die "usage: $0 <app-folder> [--version-code N] [--key KEY] [--port PORT] [--dir DIR] | stop"
[ -d "$app" ] || [ -f "$app" ] || die "no such folder or zip: $app"
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || die "nginx not found (scripts/deps.sh installs nginx-light)"

publish=${PUBLISH_BIN:-$root/build/tools/publish/tovrel-publish}
if [ ! -x "$publish" ]; then
  cmake -S "$root" -B "$root/build" >/dev/null
  cmake --build "$root/build" --target tovrel-publish >&2
fi

if [ -z "$port" ]; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null \
    || echo 18080)
fi
base="http://127.0.0.1:$port/update"

stop_server
rm -rf "$dir/www"
mkdir -p "$dir/www/update" "$dir/tmp"
"$publish" --source "$app" --version-code "$version" --key "$key" --base-url "$base" \
  --output "$dir/www/update" ${sign[@]+"${sign[@]}"} >&2

# Workers of a root master run as another user unless told otherwise; they must read the served folder.
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat > "$conf" <<CONF
$user_line
worker_processes 1;
pid $pidfile;
error_log $dir/error.log;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log $dir/access.log;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $dir/www;
        location /update/ {
            # the update information must never be served stale from a cache
            location ~ \.json\$ { add_header Cache-Control "no-cache"; }
        }
    }
}
CONF
"$nginx" -p "$dir" -c "$conf" -e "$dir/error.log" >&2 || die "nginx did not start, see $dir/error.log"

for _ in $(seq 50); do
  if curl -fsS -o /dev/null "$base/update.json" 2>/dev/null; then
    echo "demo-server: serving $dir/www/update at $base (stop: $0 stop --dir $dir)" >&2
    echo "$base"
    exit 0
  fi
  sleep 0.1
done
stop_server
die "nginx does not answer on $base, see $dir/error.log"
