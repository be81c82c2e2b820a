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
# Then the device: the real updater, on a device that installed the first version from the zip and
# each release after it in turn, fetches and installs each release from the same nginx (objects and
# patches). For each release it prints the bytes nginx sent to it (next to the figure computed from
# the manifests), its wall time from its start to "$UPDATED", the time sha256sum takes over the
# installed tree (twice: the first run reads from disk, the second mostly from the page cache), its
# peak RSS (/usr/bin/time) and whether the installed tree equals the release's folder. For release
# (b) a copy of the device takes the zip instead (update/delta=0), for comparison.
#
# Usage: bench/delta/run.sh BUILD_DIR
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
tool="$build/tools/publish/tovrel-publish"
updater="$build/updater/updater"
[ -x "$tool" ] || { echo "build tovrel-publish first" >&2; exit 2; }
[ -x "$updater" ] || { echo "build updater first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (package time)" >&2; exit 2; }
for t in rsync zsync zsyncmake casync nginx python3 sha256sum; do
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
  log_format moved '\$bytes_sent \$body_bytes_sent \$status \$request';
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

# The device: its own settings store, application folder and work folder under DIR.
device_settings() { # DIR VERSION_CODE DELTA
    mkdir -p "$1/home" "$1/config/tovrel" "$1/cache" "$1/system"
    cat > "$1/config/tovrel/updater.conf" <<CONF
[app]
folder=$1/app
version=$2

[update]
key=linux
link=$base/update
update=1
delta=$3
directory=$1/work

[localserver]
name=bench-delta-$$-$(basename "$1")
CONF
}
# device_update DIR VERSION_CODE ROAD: one updater run that checks, fetches and installs, on the delta
# road (ROAD delta) or the zip road (ROAD zip); fails unless it installed that version by that road.
# Prints: seconds to "$UPDATED", seconds to its exit, peak RSS (KiB), then what device.py moved prints.
device_update() {
    local dir=$1 code=$2 road=$3 before updated ended status rss
    before=$(wc -l < "$log")
    read -r updated ended status < <(HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_CACHE_HOME="$dir/cache" \
        XDG_CONFIG_DIRS="$dir/system" python3 "$here/device.py" run "$dir/updater.out" 900 \
        /usr/bin/time -f %M -o "$dir/rss" "$updater" --download 1)
    tail -n +"$((before + 1))" "$log" > "$dir/access.log"
    local ok=1
    [ "$status" = 0 ] && grep -q '^\$UPDATED' "$dir/updater.out" || ok=0
    grep -q '^version='"$code"'$' "$dir/config/tovrel/updater.conf" || ok=0
    if [ "$road" = delta ]; then
        grep -q "\[DeltaUpdate\] version $code installed" "$dir/updater.out" || ok=0
        grep -q "falling back to the package" "$dir/updater.out" && ok=0
    else
        grep -q "DeltaUpdate" "$dir/updater.out" && ok=0
    fi
    if [ "$ok" = 0 ]; then
        echo "the updater did not install version $code by the $road road (exit $status):" >&2
        tail -n 40 "$dir/updater.out" >&2
        exit 1
    fi
    rss=$(tail -n 1 "$dir/rss")
    echo "$updated $ended $rss $(python3 "$here/device.py" moved "$dir/access.log" "$www")"
}
# hash_tree DIR: seconds sha256sum takes over every file of the installed tree (not the updater's own)
hash_tree() {
    local start end
    start=$(date +%s.%N)
    (cd "$1" && find . -type f ! -path './.update*' -print0 | sort -z | xargs -0 sha256sum > /dev/null)
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
same_tree() { # RELEASE_FOLDER APP_FOLDER
    diff -r -x '.update*' "$1" "$2" > /dev/null && echo equal || echo DIFFERS
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
echo "device: installing the first version from the zip ..." >&2
device_settings "$work/device" 0 0
d=$(device_update "$work/device" 1 zip)
read -r first_updated _ first_rss _ <<< "$d"
[ "$(same_tree "$work/v0" "$work/device/app")" = equal ] || { echo "the first version differs on the device" >&2; exit 1; }
sed -i 's/^delta=0$/delta=1/' "$work/device/config/tovrel/updater.conf"
devices=()
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
    read -r objects patched changed manifest span < <(python3 - "$www/update" "$step" <<'PY'
import json, sys
root, step = sys.argv[1], int(sys.argv[2])
def load(code):
    with open("%s/manifests/linux-%d.json" % (root, code), "rb") as f:
        raw = f.read()
    return json.loads(raw), len(raw)
prev, _ = load(step)
cur, size = load(step + 1)
held = {f["path"]: (f["sha256"], f["size"]) for f in prev["files"]}
objects = patched = span = 0
for f in cur["files"]:
    old, old_size = held.get(f["path"], (None, 0))
    if old == f["sha256"]:
        continue
    objects += f["object_size"]
    sizes = [p["size"] for p in f.get("patches", []) if p["from"] == old]
    patched += min(sizes + [f["object_size"]])
    # What a patch holds in memory: its reference and its result.
    if sizes and min(sizes) < f["object_size"]:
        span = max(span, old_size + f["size"])
print(objects + size, patched + size, objects, size, span)
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

    # The device, holding the previous release, takes this one; for (b) a copy of it takes the zip.
    echo "release ($kind): the device updates ..." >&2
    if [ "$kind" = b ]; then
        rm -rf "$work/device-zip" && cp -a "$work/device" "$work/device-zip"
        sed -i -e "s#$work/device/#$work/device-zip/#" -e 's/^delta=1$/delta=0/' -e 's/-device$/-device-zip/' \
            "$work/device-zip/config/tovrel/updater.conf"
    fi
    d=$(device_update "$work/device" "$((step + 1))" delta)
    tree=$(same_tree "$work/v$step" "$work/device/app")
    h1=$(hash_tree "$work/device/app")
    h2=$(hash_tree "$work/device/app")
    devices+=("$kind delta $patched $rsync_bytes $changed $manifest $span $h1 $h2 $tree $d")
    if [ "$kind" = b ]; then
        echo "release ($kind): a copy of the device takes the zip ..." >&2
        d=$(device_update "$work/device-zip" "$((step + 1))" zip)
        tree=$(same_tree "$work/v$step" "$work/device-zip/app")
        devices+=("$kind zip $zip $rsync_bytes $changed $manifest 0 - - $tree $d")
        rm -rf "$work/device-zip"
    fi
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

echo
echo "the device (the real updater; bytes as nginx logged them; MB = 2^20 bytes):"
echo "  sent      bytes nginx sent to the updater, headers and the check included"
echo "  body      body bytes of what the road fetched (manifest, objects, patches; or the zip)"
echo "  computed  the same body bytes as computed from the manifests (or the zip's size)"
echo "  to \$UPDATED  wall time from the updater's start to its \$UPDATED line"
echo "  hash 1st/2nd  sha256sum over the installed tree, first run and the run right after it"
echo "  window    the largest zstd window among the patches (objects in brackets) the updater fetched,"
echo "            from their frame headers; ref+res: the largest reference + result of a patch taken"
echo "first version from the zip: $(awk -v t="$first_updated" -v r="$first_rss" 'BEGIN { printf "%.2f s to $UPDATED, peak RSS %.1f MB", t, r / 1024 }')"
printf '%-3s %-5s %12s %12s %12s %-7s %9s %8s %8s %6s %8s %15s %7s %-6s\n' release road sent body computed agree "to \$UPD s" "hash 1st" "2nd" ratio "RSS MB" "window MB" "ref+res" tree
for r in "${devices[@]}"; do
    set -- $r
    # kind road computed rsync changed manifest h1 h2 tree updated ended rss sent delta package other requests failed wpatch wobject
    kind=$1 road=$2 computed=$3 span=$7 h1=$8 h2=$9 tree=${10}
    shift 10
    updated=$1 rss=$3 sent=$4 delta=$5 package=$6 wpatch=${10} wobject=${11}
    body=$delta; [ "$road" = zip ] && body=$package
    agree=agrees; [ "$body" = "$computed" ] || agree="differs"
    awk -v k="$kind" -v road="$road" -v s="$sent" -v b="$body" -v c="$computed" -v a="$agree" -v u="$updated" \
        -v h1="$h1" -v h2="$h2" -v rss="$rss" -v wp="$wpatch" -v wo="$wobject" -v sp="$span" -v t="$tree" 'BEGIN {
        ratio = (h2 == "-" || h2 == 0) ? "-" : sprintf("%.2f", u / h2)
        printf "(%s) %-5s %12d %12d %12d %-7s %9.2f %8s %8s %6s %8.1f %6.1f (%6.1f) %7.1f %-6s\n", k, road, s, b, c, a, u, h1, h2, ratio,
            rss / 1024, wp / 1048576, wo / 1048576, sp / 1048576, t }'
done
echo
echo "goals on the device (measured):"
for r in "${devices[@]}"; do
    set -- $r
    kind=$1 road=$2 rsync_bytes=$4 changed=$5 manifest=$6 span=$7 h2=$9
    shift 10
    updated=$1 rss=$3 sent=$4 wpatch=${10}
    [ "$road" = delta ] || { awk -v k="$kind" -v rss="$rss" 'BEGIN { printf "(%s) zip road: peak RSS %.1f MB (for comparison)\n", k, rss / 1024 }'; continue; }
    awk -v k="$kind" -v s="$sent" -v r="$rsync_bytes" -v ch="$changed" -v m="$manifest" -v u="$updated" -v h="$h2" \
        -v rss="$rss" -v wp="$wpatch" -v sp="$span" 'BEGIN {
        verdict = "not met"
        if (k == "b") { if (s <= r) verdict = "met"; printf "(%s) sent %d vs rsync -z %d: %.3f x, goal <= 1 x: %s\n", k, s, r, s / r, verdict }
        else { if (s <= 1.1 * (ch + m)) verdict = "met"
               printf "(%s) sent %d vs changed objects %d + manifest %d: %.3f x, goal <= 1.1 x: %s\n", k, s, ch, m, s / (ch + m), verdict }
        if (k == "a") { verdict = (u <= 2 * h) ? "met" : "not met"
                        printf "(%s) %.2f s to $UPDATED vs %.2f s to hash the tree (2nd run): %.2f x, goal <= 2 x: %s\n", k, u, h, u / h, verdict }
        verdict = (rss * 1024 <= 64 * 1048576 + wp) ? "met" : "not met"
        printf "(%s) peak RSS %.1f MB vs 64 MB + the patch frame window %.1f MB: %s", k, rss / 1024, wp / 1048576, verdict
        verdict = (rss * 1024 <= 64 * 1048576 + sp) ? "met" : "not met"
        printf "; vs 64 MB + reference and result %.1f MB: %s\n", sp / 1048576, verdict }'
done
