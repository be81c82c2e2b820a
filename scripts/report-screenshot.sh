#!/usr/bin/env bash
# Pictures the fleet report of a generated fleet (300 devices over 30 days up to now, older days
# in .gz rotations) as headless Chromium renders it. Writes docs/fleet-report.png (or the path given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$(realpath -m "${1:-$root/docs/fleet-report.png}")

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target tovrel-publish

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$root/bench/report/fleetlog.py" "$work/log" --devices 300 --days 30 --gzip-rotations
"$build/tools/publish/tovrel-publish" report --log "$work"/log/tovrel.log* --info "$work/log/update.json" \
    --html "$work/report.html"
# The upper part of the page: the figures, the charts and the first tables.
HOME="$work" chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/profile" \
    --window-size=1000,1250 --screenshot="$work/shot.png" "file://$work/report.html" 2>"$work/chromium.log" \
    || { cat "$work/chromium.log" >&2; exit 1; }
mv "$work/shot.png" "$out"
echo "$out"
