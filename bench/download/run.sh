#!/usr/bin/env bash
# Downloads a 1 GiB file from a local nginx to disk, six ways, each REPEAT times (median shown):
#   DownloadFile with the MD5 check, DownloadFile with MD5, SHA-256 and size, DownloadFile without a hash,
#   curl -s URL | tee FILE | md5sum   (the peer with a hash),
#   curl -s URL | tee FILE >(md5sum) | openssl dgst -sha256   (the peer with both hashes; coreutils'
#   sha256sum lacks the SHA extensions and would flatter us),   curl -s -o FILE   (no hash).
# Also the one-thread limit: MD5 and writing the same number of bytes from memory, no network
# (bench_download_client --limit), the most a download that hashes on one thread can reach, with MD5
# and with MD5 and SHA-256.
# Prints throughput (MB/s, 10^6 bytes), ratios and peak RSS (/usr/bin/time -v; for the pipeline the
# largest process of it). Usage: bench/download/run.sh BUILD_DIR [SIZE_MIB] [REPEAT]
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
size_mib=${2:-1024}
repeat=${3:-3}
client="$build/bench/download/bench_download_client"
[ -x "$client" ] || { echo "build bench_download_client first" >&2; exit 2; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-download.XXXXXX")
nginx_pid=""
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/logs" "$work/temp" "$work/out"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/www/big.bin"
bytes=$(stat -c %s "$work/www/big.bin")
sum=$(md5sum "$work/www/big.bin" | cut -d' ' -f1)
sha=$(openssl dgst -sha256 -r "$work/www/big.bin" | cut -d' ' -f1)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
"$nginx" -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
url="http://127.0.0.1:$port/big.bin"

# run NAME COMMAND... : one timed run; appends "seconds rss_kb" to $work/NAME.txt and checks the output
run() {
    local name=$1; shift
    rm -f "$work/out/file" "$work/out/file.tmp"
    sync
    local t0 t1 wall rss
    t0=$(date +%s%N)
    /usr/bin/time -v -o "$work/time.txt" "$@" > "$work/stdout.txt"
    t1=$(date +%s%N)
    # the same wall clock for every peer, process start included
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print (b - a) / 1e9}')
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    if grep -q 'seconds=' "$work/stdout.txt"; then
        grep -q '^code=0 ' "$work/stdout.txt" || { cat "$work/stdout.txt" >&2; exit 1; }
    fi
    if grep -q ' -$' "$work/stdout.txt" && ! grep -q "^$sum " "$work/stdout.txt"; then
        echo "$name: md5sum differs" >&2; exit 1
    fi
    [ "$(md5sum < "$work/out/file" | cut -d' ' -f1)" = "$sum" ] || { echo "$name: wrong file" >&2; exit 1; }
    echo "$wall $rss" >> "$work/$name.txt"
}

# The MD5 limit: hashing the cached file alone, no network and no disk writes.
md5_limit() {
    local t0 t1
    t0=$(date +%s%N)
    md5sum "$work/www/big.bin" > /dev/null
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN {print (b - a) / 1e9}' >> "$work/md5_limit.txt"
}

# The one-thread limit: "seconds hash_seconds write_seconds" appended to $work/thread_limit.txt.
thread_limit() {
    local line
    line=$("$client" --limit "$work/out/limit.bin" "$size_mib")
    echo "$line" | sed -E 's/.* seconds=([^ ]+) hash_seconds=([^ ]+) write_seconds=([^ ]+) both_seconds=([^ ]+) both_hash_seconds=([^ ]+).*/\1 \2 \3 \4 \5/' \
        >> "$work/thread_limit.txt"
}

for i in $(seq "$repeat"); do
    md5_limit
    thread_limit
    run downloadfile_md5 "$client" "$url" "$work/out/file" "$sum"
    run curl_tee_md5sum bash -c "curl -s '$url' | tee '$work/out/file' | md5sum"
    run downloadfile_md5_sha256 "$client" "$url" "$work/out/file" "$sum" "$sha" "$bytes"
    run curl_tee_md5_sha256 bash -c \
        "curl -s '$url' | tee '$work/out/file' >(md5sum > '$work/pipe_md5.txt') | openssl dgst -sha256 > /dev/null"
    run downloadfile_nohash "$client" "$url" "$work/out/file"
    run curl_plain curl -s -o "$work/out/file" "$url"
done
rm -f "$work/out/file"

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
declare -A mbs rss
names="downloadfile_md5 curl_tee_md5sum downloadfile_md5_sha256 curl_tee_md5_sha256 downloadfile_nohash curl_plain"
for name in $names; do
    secs=$(cut -d' ' -f1 "$work/$name.txt" | median)
    mbs[$name]=$(awk -v b="$bytes" -v s="$secs" 'BEGIN {printf "%.0f", b / s / 1e6}')
    rss[$name]=$(cut -d' ' -f2 "$work/$name.txt" | sort -n | tail -1)
done

limit=$(median < "$work/md5_limit.txt")
limit_mbs=$(awk -v b="$bytes" -v s="$limit" 'BEGIN {printf "%.0f", b / s / 1e6}')
rate() { awk -v b="$bytes" -v s="$1" 'BEGIN {printf "%.0f", b / s / 1e6}'; }
thread_mbs=$(rate "$(cut -d' ' -f1 "$work/thread_limit.txt" | median)")
hash_mbs=$(rate "$(cut -d' ' -f2 "$work/thread_limit.txt" | median)")
write_mbs=$(rate "$(cut -d' ' -f3 "$work/thread_limit.txt" | median)")
thread2_mbs=$(rate "$(cut -d' ' -f4 "$work/thread_limit.txt" | median)")
hash2_mbs=$(rate "$(cut -d' ' -f5 "$work/thread_limit.txt" | median)")
echo "file: $bytes bytes, $repeat runs each, median throughput, peak RSS over all runs"
printf '%-20s %6s MB/s\n' "md5sum (cached)" "$limit_mbs"
printf '%-20s %6s MB/s   (MD5 %s MB/s, write %s MB/s, from memory, one thread)\n' \
    "one-thread limit" "$thread_mbs" "$hash_mbs" "$write_mbs"
printf '%-20s %6s MB/s   (MD5+SHA-256 %s MB/s, from memory, one thread)\n' \
    "one-thread limit 2" "$thread2_mbs" "$hash2_mbs"
for name in $names; do
    printf '%-20s %6s MB/s   peak RSS %6.1f MB\n' "$name" "${mbs[$name]}" "$(awk -v k="${rss[$name]}" 'BEGIN {print k/1024}')"
done
awk -v a="${mbs[downloadfile_md5]}" -v b="${mbs[curl_tee_md5sum]}" \
    'BEGIN {printf "ratio DownloadFile+MD5 / curl|tee|md5sum: %.2f\n", a / b}'
awk -v a="${mbs[downloadfile_md5]}" -v b="$limit_mbs" \
    'BEGIN {printf "ratio DownloadFile+MD5 / md5sum limit:    %.2f\n", a / b}'
awk -v a="${mbs[downloadfile_md5]}" -v b="$thread_mbs" \
    'BEGIN {printf "ratio DownloadFile+MD5 / one-thread limit: %.2f\n", a / b}'
awk -v a="${mbs[downloadfile_md5_sha256]}" -v b="$thread2_mbs" \
    'BEGIN {printf "ratio DownloadFile+MD5+SHA-256 / its one-thread limit: %.2f\n", a / b}'
awk -v a="${mbs[downloadfile_md5_sha256]}" -v b="${mbs[curl_tee_md5_sha256]}" \
    'BEGIN {printf "ratio DownloadFile+MD5+SHA-256 / curl|tee>(md5sum)|openssl: %.2f\n", a / b}'
awk -v a="${mbs[downloadfile_nohash]}" -v b="${mbs[curl_plain]}" \
    'BEGIN {printf "ratio DownloadFile (no hash) / curl -o:   %.2f\n", a / b}'
