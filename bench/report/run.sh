#!/usr/bin/env bash
# The fleet report over a generated access log (DEVICES devices asking hourly for DAYS days, about
# 7 million lines for 10,000 devices and 30 days, with rollouts, errors and rollbacks), side by side
# with GoAccess writing its HTML report of the same log and with the awk one-liner of the publishing
# guide that counts devices per version. Prints wall time and peak RSS (/usr/bin/time) and ratios.
# GoAccess reads one log format per run, so this log has the newer format throughout.
# Usage: bench/report/run.sh BUILD_DIR [DEVICES] [DAYS]
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
devices=${2:-10000}
days=${3:-30}
tool="$build/tools/publish/tovrel-publish"
[ -x "$tool" ] || { echo "build tovrel-publish first" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v goaccess >/dev/null; then
    echo "installing goaccess" >&2
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y goaccess >&2; else sudo apt-get install -y goaccess >&2; fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-report.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "generating the log of $devices devices over $days days ..." >&2
python3 "$here/fleetlog.py" "$work" --devices "$devices" --days "$days" --old-days 0
lines=$(wc -l < "$work/tovrel.log")
mib=$(( $(stat -c %s "$work/tovrel.log") / 1048576 ))
cat "$work/tovrel.log" > /dev/null  # every run reads from the page cache

# measure NAME COMMAND...: appends "NAME seconds kilobytes" to the results
measure() {
    local name=$1; shift
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$work/$name.out" 2> "$work/$name.err" \
        || { echo "$name failed:" >&2; cat "$work/$name.err" >&2; exit 1; }
    echo "$name $(cat "$work/time")" >> "$work/results"
}

measure report "$tool" report --log "$work/tovrel.log" --info "$work/update.json" \
    --html "$work/report.html" --json "$work/report.json"
measure awk awk '$2 != "-" { v[$2] = $3 } END { for (d in v) print v[d] }' "$work/tovrel.log"
measure goaccess goaccess "$work/tovrel.log" --no-global-config --no-progress \
    --log-format='%dT%t+%^ %^ %^ %^ "%r" %s %b %h %^' --date-format=%Y-%m-%d --time-format=%H:%M:%S \
    -o "$work/goaccess.html"

# The awk count and the report must agree (awk also counts the garbage lines as a "device").
sort -n "$work/awk.out" | uniq -c | awk '$2 ~ /^[0-9]+$/ { print $2, $1 }' | sort > "$work/awk.count"
python3 -c 'import json,sys; [print(v["version"], v["devices"]) for v in json.load(open(sys.argv[1]))["versions"]]' \
    "$work/report.json" | sort > "$work/report.count"
cmp -s "$work/awk.count" "$work/report.count" || { echo "devices per version differ from awk:" >&2; diff "$work/awk.count" "$work/report.count" >&2; exit 1; }

echo "log: $lines lines, $mib MiB, $devices devices, $days days"
awk -v lines="$lines" '
    { t[$1] = $2; m[$1] = $3 }
    END {
        printf "%-10s %9s %12s %10s\n", "", "seconds", "lines/s", "peak MiB"
        for (n = 1; n <= 3; n++) {
            name = (n == 1 ? "report" : n == 2 ? "awk" : "goaccess")
            printf "%-10s %9.2f %12.0f %10.1f\n", name, t[name], lines / t[name], m[name] / 1024
        }
        printf "report / awk count: %.2f x the time;  goaccess / report: %.1f x the time, %.1f x the memory\n",
            t["report"] / t["awk"], t["goaccess"] / t["report"], m["goaccess"] / m["report"]
    }' "$work/results"
