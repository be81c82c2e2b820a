#!/usr/bin/env bash
# Builds for an ARM device on this Debian 12 amd64 machine: installs what is missing (the foreign
# architecture, the cross compiler, the development packages of ARCH, qemu-user-static and its
# binfmt handlers), configures build-ARCH/ with cmake/toolchain-ARCH.cmake, builds everything, runs
# the test suite under emulation and puts tovrel-device_<version>_ARCH.deb and
# tovrel-publish_<version>_ARCH.deb into build-ARCH/packages/.
#
# Usage: scripts/cross.sh arm64|armhf [CTEST ARGUMENTS...]
# Environment:
#   BUILD_DIR          build folder (default: build-ARCH)
#   CROSS_TESTS=0      build and package only, run no test
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-}
case $arch in
  arm64) triplet=aarch64-linux-gnu qemu=aarch64 ;;
  armhf) triplet=arm-linux-gnueabihf qemu=arm ;;
  *) echo "usage: $0 arm64|armhf [ctest arguments...]" >&2; exit 2 ;;
esac
shift
build=${BUILD_DIR:-$root/build-$arch}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  echo "Adding the architecture $arch"
  $sudo dpkg --add-architecture "$arch"
  # deps.sh updates the package lists before it installs.
fi
# The host's tools (cmake, moc, nginx, lintian ...) and qemu first: with its handler registered,
# the ARCH packages' own set-up steps run too.
"$root/scripts/deps.sh" crossbuild-essential-"$arch" qemu-user-static

# The kernel starts ARCH's programs through qemu, also the children a test starts; without a
# service manager nobody registers the handler at installation.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-$qemu" ]; then
  echo "Registering qemu-$qemu with binfmt_misc"
  $sudo sh -c "cat /usr/lib/binfmt.d/qemu-$qemu.conf > $binfmt/register"
fi
grep -qx enabled "$binfmt/qemu-$qemu" || { echo "cross: the binfmt handler qemu-$qemu is not enabled" >&2; exit 1; }

# ARCH's libraries; the QML modules are for the tests that start plessa under emulation.
"$root/scripts/deps.sh" qtbase5-dev:"$arch" qtdeclarative5-dev:"$arch" qtquickcontrols2-5-dev:"$arch" \
  libzip-dev:"$arch" libssl-dev:"$arch" libzstd-dev:"$arch" \
  qml-module-qtquick2:"$arch" qml-module-qtquick-controls2:"$arch" \
  qml-module-qtquick-templates2:"$arch" qml-module-qtquick-window2:"$arch"

start=$SECONDS
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "cross: $arch build took $((SECONDS - start)) s"

if [ "${CROSS_TESTS:-1}" != 0 ]; then
  start=$SECONDS
  # In a process namespace of its own: whatever an emulated test signals, it never reaches the
  # machine's other processes.
  isolate=(unshare --pid --fork --mount-proc)
  [ "$(id -u)" -eq 0 ] || isolate+=(--user --map-current-user)
  status=0
  (cd "$build" && "${isolate[@]}" ctest --output-on-failure -j2 "$@") || status=$?
  # What could not run under emulation, with the reason the test gave.
  grep -h "^SKIP " "$build/Testing/Temporary/LastTest.log" || true
  [ $status -eq 0 ] || exit $status
  echo "cross: $arch suite under emulation took $((SECONDS - start)) s"
fi

BUILD_DIR=$build "$root/scripts/package.sh"
