#!/usr/bin/env bash
# The launcher alone, without updater: builds zorvan and runs it on a demo set-up of its own: private
# HOME and XDG_CONFIG_HOME, a settings file written before the start, a copy of the stand-in as the
# main application (writes "$ALIVE", ends after 20 s) and plessa as the message window (15 s
# countdown, then "$QUIT"). zorvan keeps the application running and brings it back through the
# window whenever it ends.
#
# Stop it with Ctrl+C. Logs: <demo folder>/log/zorvan-dd.MM.yy.log (the folder is printed at start).
#
# Environment:
#   DEMO_DIR     demo folder (default: build/demo-run); its settings file is rewritten at every start
#   DEMO_WINDOW  message window program: a path, "plessa" for the one built here (default), or
#                empty for a copy of the stand-in that plays the window for 5 s
#   BUILD_DIR    build folder (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
demo=${DEMO_DIR:-$build/demo-run}
window=${DEMO_WINDOW-plessa}

targets=(zorvan standin)
if [[ $window == plessa ]]; then
  targets+=(plessa)
  window=$build/messagewindow/plessa
fi
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
mkdir -p "$demo/home" "$demo/config/tovrel" "$demo/cache" "$demo/app" "$demo/window" "$demo/log"

cp -f "$build/tools/standin/standin" "$demo/app/tovrel.exe"
printf '%s\n' --alive 5 --exit-after 20 > "$demo/app/tovrel.exe.options"
echo "demo-1.0" > "$demo/app/version.txt"

if [[ -z $window ]]; then
  cp -f "$build/tools/standin/standin" "$demo/window/plessa"
  printf '%s\n' --alive 5 --exit-after 5 --say-before-exit '$QUIT' > "$demo/window/plessa.options"
  window=$demo/window/plessa
fi
if [[ ! -x $window ]]; then
  echo "demo: message window program not found or not executable: $window" >&2
  exit 1
fi
window=$(cd "$(dirname "$window")" && pwd)/$(basename "$window")

# Quoted INI values, so that blanks, commas or quotes in paths survive.
ini() {
  local v=${1//\\/\\\\}
  v=${v//\"/\\\"}
  printf '"%s"' "$v"
}
conf=$demo/config/tovrel/zorvan.conf
cat > "$conf" <<CONF
[application]
folder=$(ini "$demo/app")
name=tovrel.exe
log=$(ini "$demo/log")
fullscreen=1
active=1

[settingsapp]
folder=$(ini "$(dirname "$window")")
name=$(ini "$(basename "$window")")
active=1

[updaterapp]
active=0

[watchdog]
active=0

[launcher]
active=1
CONF

cat >&2 <<INFO
demo: settings  $conf
demo: logs      $demo/log
demo: window    $window
demo: the main application starts after 15 s and ends after 20 s; the window then shows.
demo: stop with Ctrl+C
INFO

# Without a display the window runs offscreen; QML then needs the software renderer.
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  export QT_QPA_PLATFORM=offscreen
fi
export QT_QUICK_BACKEND=${QT_QUICK_BACKEND:-software}

cd "$demo"
export HOME=$demo/home XDG_CONFIG_HOME=$demo/config XDG_CACHE_HOME=$demo/cache
exec "$build/launcher/zorvan"
