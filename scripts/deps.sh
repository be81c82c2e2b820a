#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need; skips what is there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev libzip-dev libssl-dev zlib1g-dev libzstd-dev
  qml-module-qtquick2 qml-module-qtquick-controls2 qml-module-qtquick-templates2
  qml-module-qtquick-window2
  nginx-light xvfb xauth openssl
  curl unzip zip libarchive-tools time python3 fonts-dejavu-core
  dpkg-dev file lintian
  chromium
)
# Callers may name more (the sanitizer build adds its compiler).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
