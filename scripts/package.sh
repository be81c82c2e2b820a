#!/usr/bin/env bash
# Builds the Debian packages tovrel-device and tovrel-publish into build/packages/ (BUILD_DIR
# overrides build/; a tree configured by scripts/cross.sh gives packages of its architecture);
# installs what is missing first, like scripts/test.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
# CPack stages its files next to the packages; only the packages go to build/packages.
rm -rf "$build/cpack" "$build/packages"
# dpkg-shlibdeps finds the dependencies among the libraries of the packages' architecture, which
# is not the host's in a cross build (scripts/cross.sh).
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
dpkg-architecture -a"$arch" -c cpack --config "$build/CPackConfig.cmake" -B "$build/cpack"
mkdir -p "$build/packages"
mv "$build"/cpack/*.deb "$build/packages/"
rm -rf "$build/cpack"
ls -l "$build"/packages/*.deb
