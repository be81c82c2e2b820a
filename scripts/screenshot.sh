#!/usr/bin/env bash
# Pictures the message window as the device shows it: plessa built from this tree, in a real X
# server (Xvfb), with a two-line Russian message. Writes docs/plessa.png (or the path given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$(realpath -m "${1:-$root/docs/plessa.png}")

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target plessa

mkdir -p "$(dirname "$out")"
rm -f "$out"
message=$'Путь к файлу настроек:\n/home/user/.config/tovrel/zorvan.conf'
# plessa saves its first frame to PLESSA_SCREENSHOT and ends; the time-out covers a stuck X server.
PLESSA_SCREENSHOT="$out" QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software \
  timeout 60 xvfb-run -a -s "-screen 0 800x600x24" "$build/messagewindow/plessa" --text "$message"
[ -s "$out" ] || { echo "no screenshot written" >&2; exit 1; }
echo "screenshot: $out"
