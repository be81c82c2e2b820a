#!/usr/bin/env bash
# The whole system on loopback, with the road of one update. A private nginx (scripts/demo-server.sh) serves version 2 of
# the stand-in application; zorvan starts the real updater and runs version 1, which ends after
# 60 s. The updater's first check (60 s after its start) finds version 2 and downloads it; when
# version 1 has ended, zorvan has it installed while plessa shows " Идет обновление приложения,
# пожалуйста подождите.", and starts version 2 when the window ends (about 95 s after the start).
#
# Version 2 is signed: the device gets the public key through its system-wide store
# (system/tovrel/updater.conf, found through XDG_CONFIG_DIRS), which the application's user cannot write
# on a real device.
#
# Stop it with Ctrl+C (nginx is stopped too). Everything lives in the demo folder (printed at start):
# log/zorvan-dd.MM.yy.log, app/version.txt (1, then 2), config/tovrel/updater.conf ("app/version").
#
# Environment:
#   DEMO_DIR   demo folder (default: build/demo); emptied at every start
#   BUILD_DIR  build folder (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
demo=${DEMO_DIR:-$build/demo}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target zorvan updater plessa standin tovrel-publish

rm -rf "$demo"
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
mkdir -p "$demo/home" "$demo/config/tovrel" "$demo/system/tovrel" "$demo/cache" "$demo/app" "$demo/v2" "$demo/log" "$demo/work"

install_app() { # folder version options...
  local folder=$1 version=$2
  shift 2
  cp -f "$build/tools/standin/standin" "$folder/tovrel.exe"
  printf '%s\n' "$@" > "$folder/tovrel.exe.options"
  echo "$version" > "$folder/version.txt"
}
install_app "$demo/app" 1 --alive 5 --exit-after 60
install_app "$demo/v2" 2 --alive 5

"$build/tools/publish/tovrel-publish" keygen --out "$demo/keys" >/dev/null
base=$(PUBLISH_BIN=$build/tools/publish/tovrel-publish \
  "$root/scripts/demo-server.sh" "$demo/v2" --version-code 2 --key linux --dir "$demo/server" \
  --sign-key "$demo/keys/update-signing.pem")
trap '"$root/scripts/demo-server.sh" stop --dir "$demo/server"' EXIT

# Quoted INI values, so that blanks, commas or quotes in paths survive.
ini() {
  local v=${1//\\/\\\\}
  v=${v//\"/\\\"}
  printf '"%s"' "$v"
}
socket=tovrelupdater-demo-$$
cat > "$demo/config/tovrel/updater.conf" <<CONF
[app]
folder=$(ini "$demo/app")
version=1
device_id=demo-device

[update]
key=linux
link=$(ini "$base")
info=update.json
period=3600
download=1
update=0
directory=$(ini "$demo/work")

[localserver]
name=$socket
CONF
cat > "$demo/system/tovrel/updater.conf" <<CONF
[update]
publickey=$(ini "$(cat "$demo/keys/update-signing.pub")")
CONF
cat > "$demo/config/tovrel/zorvan.conf" <<CONF
[application]
folder=$(ini "$demo/app")
name=tovrel.exe
log=$(ini "$demo/log")
fullscreen=1
active=1

[settingsapp]
folder=$(ini "$build/messagewindow")
name=plessa
active=1

[updaterapp]
folder=$(ini "$build/updater")
name=updater
localserver=$socket
active=1

[watchdog]
active=0

[launcher]
active=1
CONF

# Without a display the window runs offscreen; QML then needs the software renderer.
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  export QT_QPA_PLATFORM=offscreen
fi
export QT_QUICK_BACKEND=${QT_QUICK_BACKEND:-software}

cat >&2 <<INFO
demo: folder   $demo
demo: key      $demo/system/tovrel/updater.conf (version 2 is signed with $demo/keys/update-signing.pem)
demo: server   $base
demo: logs     $demo/log
demo: version 1 starts after 15 s and ends after 60 s; the update is installed then and
demo: version 2 starts when the window ends (cat $demo/app/version.txt)
demo: stop with Ctrl+C
INFO

cd "$demo"
export HOME=$demo/home XDG_CONFIG_HOME=$demo/config XDG_CACHE_HOME=$demo/cache XDG_CONFIG_DIRS=$demo/system
"$build/launcher/zorvan" || true
