#!/usr/bin/env bash
# Bytes moved by an update, side by side: a generated application of about 200 MB (471 files, one
# 80 MB binary) and three releases after it: (a) 5 small files changed, (b) the big binary rebuilt
# with a small change, (c) 10 % of the files changed. For each release, what a device holding the
# previous release moves with:
#   zip       the whole package (tovrel-publish)
#   objects   the file objects of the files whose SHA-256 differs at the same path, plus the manifest
#   +patches  the same, with a patch instead of the object where the manifest lists one from the
#             previous content (both computed from the manifests, as a device would choose)
#   rsync -z  rsync daemon on 127.0.0.1 into a copy of the previous tree (bytes sent + received)
#   zsync     zsync of a tar of the tree (zsyncmake -z), previous tar as seed, from nginx
#   casync    casync extract from a chunk store (zstd) on nginx, previous tree as seed
# The zsync and casync figures are the bytes nginx sent (headers included), from its access log.
# Also prints the publisher's wall time for each release and ratios against the zip.
#
# Usage: bench/delta/run.sh BUILD_DIR
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
tool="$build/tools/publish/tovrel-publish"
[ -x "$tool" ] || { echo "build tovrel-publish first" >&2; exit 2; }
for t in rsync zsync zsyncmake casync nginx python3; do
    command -v "$t" >/dev/null || [ -x "/usr/sbin/$t" ] || { echo "$t is needed" >&2; exit 2; }
done
nginx=$(command -v nginx || echo /usr/sbin/nginx)
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-delta.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

www=$work/www
mkdir -p "$www/update" "$work/nginx/logs" "$work/nginx/temp" "$work/client"
port=$(free_port)
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 64; }
http {
  log_format moved '\$bytes_sent \$status \$request';
  access_log $work/nginx/logs/access.log moved;
  client_body_temp_path $work/nginx/temp/body;
  proxy_temp_path $work/nginx/temp/proxy;
  fastcgi_temp_path $work/nginx/temp/fastcgi;
  uwsgi_temp_path $work/nginx/temp/uwsgi;
  scgi_temp_path $work/nginx/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$port; root $www; }
}
CONF
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
base="http://127.0.0.1:$port"

rport=$(free_port)
cat > "$work/rsyncd.conf" <<CONF
use chroot = no
uid = $(id -u)
gid = $(id -g)
address = 127.0.0.1
pid file = $work/rsyncd.pid
[tree]
path = $work/tree
read only = yes
CONF

log=$work/nginx/logs/access.log
# nginx_bytes COMMAND...: runs it and prints the bytes nginx sent meanwhile
nginx_bytes() {
    local before
    before=$(wc -l < "$log" 2>/dev/null || echo 0)
    "$@" > "$work/last.out" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.out" >&2; exit 1; }
    tail -n +"$((before + 1))" "$log" | awk '{ s += $1 } END { print s + 0 }'
}

echo "generating the application ..." >&2
python3 "$here/genapp.py" base "$work/v0"
tar_of() { tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$1" -cf "$2" .; }

publish() { # VERSION
    local start end
    start=$(date +%s.%N)
    "$tool" --source "$work/v$1" --version-code "$(($1 + 1))" --key linux --base-url "$base/update" \
        --output "$www/update" > "$work/publish.out" || { cat "$work/publish.out" >&2; exit 1; }
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }'
}
stage_casync_zsync() { # VERSION
    casync make --compression=zstd --store="$www/store.castr" "$www/v$1.caidx" "$work/v$1" > /dev/null
    tar_of "$work/v$1" "$www/v$1.tar"
    (cd "$www" && zsyncmake -z -u "v$1.tar.gz" -o "v$1.tar.zsync" "v$1.tar" > /dev/null)
}

echo "publishing the first version ..." >&2
t0=$(publish 0)
stage_casync_zsync 0
printf '%-3s %12s %12s %12s %12s %12s %12s %10s\n' release zip objects +patches "rsync -z" zsync casync "publish s"
results=()
for step in 1 2 3; do
    kind=$(echo "a b c" | cut -d' ' -f$step)
    prev=$((step - 1))
    cp -al "$work/v$prev" "$work/v$step"
    python3 "$here/genapp.py" change "$work/v$step" "$kind"
    echo "release ($kind): publishing ..." >&2
    tp=$(publish $step)
    stage_casync_zsync $step
    zip=$(stat -c %s "$www/update/linux-$((step + 1)).zip")
    read -r objects patched changed manifest < <(python3 - "$www/update" "$step" <<'PY'
import json, sys
root, step = sys.argv[1], int(sys.argv[2])
def load(code):
    with open("%s/manifests/linux-%d.json" % (root, code), "rb") as f:
        raw = f.read()
    return json.loads(raw), len(raw)
prev, _ = load(step)
cur, size = load(step + 1)
held = {f["path"]: f["sha256"] for f in prev["files"]}
objects = patched = 0
for f in cur["files"]:
    old = held.get(f["path"])
    if old == f["sha256"]:
        continue
    objects += f["object_size"]
    sizes = [p["size"] for p in f.get("patches", []) if p["from"] == old]
    patched += min(sizes + [f["object_size"]])
print(objects + size, patched + size, objects, size)
PY
)
    # rsync: the daemon serves this release's tree; the client holds a copy of the previous one.
    rm -rf "$work/tree" && ln -s "$work/v$step" "$work/tree"
    rsync --daemon --no-detach --config="$work/rsyncd.conf" --port="$rport" &
    rpid=$!
    for _ in $(seq 50); do (echo > "/dev/tcp/127.0.0.1/$rport") 2>/dev/null && break; sleep 0.1; done
    rm -rf "$work/client/rsync" && cp -a "$work/v$prev" "$work/client/rsync"
    rsync -a -z --delete --stats "rsync://127.0.0.1:$rport/tree/" "$work/client/rsync/" > "$work/rsync.out"
    kill "$rpid"; wait "$rpid" 2>/dev/null || true
    rsync_bytes=$(awk -F': ' '/^Total bytes (sent|received)/ { gsub(/,/, "", $2); s += $2 } END { print s }' "$work/rsync.out")
    diff -r "$work/v$step" "$work/client/rsync" > /dev/null || { echo "rsync gave another tree" >&2; exit 1; }
    # zsync: the previous tar as seed.
    rm -rf "$work/client/zsync" && mkdir -p "$work/client/zsync"
    tar_of "$work/v$prev" "$work/client/zsync/seed.tar"
    zsync_bytes=$(cd "$work/client/zsync" && nginx_bytes zsync -q -i seed.tar -o new.tar "$base/v$step.tar.zsync")
    cmp -s "$work/client/zsync/new.tar" "$www/v$step.tar" || { echo "zsync gave another tar" >&2; exit 1; }
    # casync: the previous tree as seed.
    rm -rf "$work/client/casync"
    casync_bytes=$(nginx_bytes casync extract --store="$base/store.castr" --seed="$work/v$prev" \
                       "$base/v$step.caidx" "$work/client/casync")
    diff -r "$work/v$step" "$work/client/casync" > /dev/null || { echo "casync gave another tree" >&2; exit 1; }
    printf '(%s) %12d %12d %12d %12d %12d %12d %10.1f\n' "$kind" "$zip" "$objects" "$patched" "$rsync_bytes" \
        "$zsync_bytes" "$casync_bytes" "$tp"
    results+=("$kind $zip $objects $patched $rsync_bytes $zsync_bytes $casync_bytes $changed $manifest")
done
echo "first version published in $t0 s (zip, every object)"
echo
echo "against the whole zip (smaller is better):"
printf '%-7s %9s %9s %9s %9s %9s\n' release objects +patches "rsync -z" zsync casync
for r in "${results[@]}"; do
    set -- $r
    awk -v k="$1" -v z="$2" -v o="$3" -v p="$4" -v r="$5" -v s="$6" -v c="$7" \
        'BEGIN { printf "(%s)     %9.4f %9.4f %9.4f %9.4f %9.4f\n", k, o / z, p / z, r / z, s / z, c / z }'
done
echo
echo "goals: (a), (c) moved <= 1.1 x (compressed changed files + manifest); (b) moved <= rsync -z"
for r in "${results[@]}"; do
    set -- $r
    awk -v k="$1" -v p="$4" -v r="$5" -v ch="$8" -v m="$9" 'BEGIN {
        if (k == "b") printf "(%s) objects+patches %d vs rsync -z %d: %.3f x\n", k, p, r, p / r
        else printf "(%s) objects+patches %d vs changed objects %d + manifest %d: %.3f x\n", k, p, ch, m, p / (ch + m) }'
done
