#!/usr/bin/env bash
# Pictures the message window as the device shows it: plessa built from this tree, in a real X
# server (Xvfb), with a two-line Russian message. Writes docs/plessa.png (or the path given).
# The picture is taken from outside (xwd), so plessa runs exactly as the launcher starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$(realpath -m "${1:-$root/docs/plessa.png}")

"$root/scripts/deps.sh"
# Only this script needs them; the tests do not.
tools=(x11-apps x11-utils imagemagick)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target plessa

work=$(mktemp -d)
xvfb_pid=""
plessa_pid=""
cleanup() {
  [ -n "$plessa_pid" ] && kill "$plessa_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to the descriptor given.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

message=$'Путь к файлу настроек:\n/home/user/.config/tovrel/zorvan.conf'
# A private HOME: the window must not read or write anybody's settings.
HOME="$work" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software \
  "$build/messagewindow/plessa" --text "$message" >"$work/plessa.out" 2>"$work/plessa.err" &
plessa_pid=$!

# Poll until the window is mapped, then until two grabs in a row agree (the first frame is drawn
# and the layout has settled); the countdown ticks only once a second. Gives up after 30 s.
window=""
previous=""
deadline=$((SECONDS + 30))
while [ $SECONDS -lt $deadline ]; do
  kill -0 "$plessa_pid" 2>/dev/null || { echo "plessa ended:" >&2; cat "$work/plessa.err" >&2; exit 1; }
  if [ -z "$window" ]; then
    window=$(xwininfo -root -tree | awk '/"tovrel settings v/ { print $1; exit }')
  fi
  if [ -n "$window" ] && xwininfo -id "$window" | grep -q "Map State: IsViewable"; then
    xwd -silent -id "$window" | convert xwd:- png:"$work/grab.png"
    colours=$(convert "$work/grab.png" -format %k info:)
    sum=$(convert "$work/grab.png" -depth 8 rgb:- | md5sum | cut -d' ' -f1)
    if [ "$colours" -gt 2 ] && [ "$sum" = "$previous" ]; then
      mkdir -p "$(dirname "$out")"
      convert "$work/grab.png" -strip "$out"
      echo "screenshot: $out"
      exit 0
    fi
    previous=$sum
  fi
  sleep 0.2
done
echo "no window appeared within 30 s" >&2
cat "$work/plessa.err" >&2
exit 1
