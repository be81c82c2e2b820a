#!/usr/bin/env bash
# Builds both Debian packages from a built tree into a temporary folder, unpacks each with
# dpkg-deb -x and checks what a device needs: the programs (stripped, answering --version where
# they take options), the documents, the system-wide defaults, the start-up files, the
# dependencies shlibdeps cannot see, and no lintian error. A cross-built tree (scripts/cross.sh)
# gives packages of its architecture: their names, their Architecture field and every program's
# machine code (file) must say so; the programs run under emulation there.
# Usage: check-packages.sh BUILD_DIR "DEVICE PROGRAMS" "PUBLISH PROGRAMS" "PROGRAMS WITHOUT OPTIONS"
set -euo pipefail
build=$1
read -r -a device_programs <<<"$2"
read -r -a publish_programs <<<"$3"
read -r -a no_options <<<"$4"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
# What file(1) says of a program of each architecture.
case $arch in
  amd64) machine="ELF 64-bit LSB .*x86-64" ;;
  arm64) machine="ELF 64-bit LSB .*ARM aarch64" ;;
  armhf) machine="ELF 32-bit LSB .*ARM, EABI5" ;;
  *) echo "no machine known for the architecture '$arch'" >&2; exit 1 ;;
esac
dpkg-architecture -a"$arch" -c cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; exit 1; }

check_package() {
  local name=$1; shift
  local programs=("$@")
  local deb=$work/cpack/${name}_${version}_$arch.deb
  [ -f "$deb" ] || { fail "$name: no package ${name}_${version}_$arch.deb built: $(ls "$work/cpack")"; return; }
  local root=$work/$name
  dpkg-deb -x "$deb" "$root"
  local fields listing
  fields=$(dpkg-deb -f "$deb" Package Version Architecture Depends Description)
  grep -q "^Package: $name$" <<<"$fields" || fail "$name: package field: $fields"
  grep -q "^Architecture: $arch$" <<<"$fields" || fail "$name: not for $arch: $fields"
  listing=$(dpkg-deb -c "$deb")
  # A one-line summary and a long description.
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 3 ] || fail "$name: description too short"
  grep -q "libqt5core5a" <<<"$fields" || fail "$name: shlibdeps dependencies missing: $fields"

  for f in copyright changelog.gz; do
    [ -s "$root/usr/share/doc/$name/$f" ] || fail "$name: no /usr/share/doc/$name/$f"
  done
  gzip -t "$root/usr/share/doc/$name/changelog.gz" || fail "$name: changelog.gz is not gzip"

  local home=$work/home-$name
  mkdir -p "$home"
  for p in "${programs[@]}"; do
    local bin=$root/usr/bin/$p
    [ -x "$bin" ] || { fail "$name: no executable /usr/bin/$p"; continue; }
    if readelf -S "$bin" | grep -q '\.debug_info'; then fail "$name: $p is not stripped"; fi
    grep -Eq " \./usr/bin/$p$" <<<"$listing" || fail "$name: dpkg-deb -c does not list /usr/bin/$p"
    local kind
    kind=$(file -b "$bin")
    grep -Eq "^$machine" <<<"$kind" || fail "$name: $p is not a program for $arch: $kind"
    local skip=0
    for n in "${no_options[@]}"; do [ "$n" = "$p" ] && skip=1; done
    [ $skip -eq 1 ] && continue
    local out rc=0
    out=$(HOME=$home XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache \
          QT_QPA_PLATFORM=offscreen timeout 20 "$bin" --version 2>&1) || rc=$?
    [ $rc -eq 0 ] || fail "$name: $p --version exited $rc: $out"
    grep -Eq "^$p [0-9]+\.[0-9]+" <<<"$out" || fail "$name: $p --version printed: $out"
  done
}

check_package tovrel-device "${device_programs[@]}"
check_package tovrel-publish "${publish_programs[@]}"

device=$work/tovrel-device
deb_device=("$work/cpack/tovrel-device_${version}_$arch.deb")
for f in etc/xdg/tovrel/zorvan.conf etc/xdg/tovrel/updater.conf etc/xdg/autostart/tovrel-zorvan.desktop \
         usr/lib/systemd/user/tovrel-zorvan.service usr/share/doc/tovrel-device/examples/sudoers-watchdog \
         usr/share/doc/tovrel-device/starting.md usr/share/doc/tovrel-device/README.md \
         usr/share/doc/tovrel-device/probation.md usr/share/doc/tovrel-device/installation.md; do
  [ -s "$device/$f" ] || fail "tovrel-device: no /$f"
done
# The sudoers example must never be active by being installed.
[ ! -e "$device/etc/sudoers.d" ] || fail "tovrel-device: installs into /etc/sudoers.d"
depends=$(dpkg-deb -f "${deb_device[0]}" Depends)
for d in qml-module-qtquick2 qml-module-qtquick-controls2 qml-module-qtquick-window2 fonts-dejavu-core bash; do
  grep -Eq "(^|, )$d(,| |$)" <<<"$depends" || fail "tovrel-device: does not depend on $d: $depends"
done
# Only the watchdog needs sudo: recommended, so a device without a watchdog can go without it.
if grep -Eq "(^|, )sudo(,| |$)" <<<"$depends"; then fail "tovrel-device: depends on sudo: $depends"; fi
grep -Eq "(^|, )sudo(,| |$)" <<<"$(dpkg-deb -f "${deb_device[0]}" Recommends)" \
  || fail "tovrel-device: does not recommend sudo"
[ -s "$work/tovrel-publish/usr/share/doc/tovrel-publish/publishing.md" ] \
  || fail "tovrel-publish: no /usr/share/doc/tovrel-publish/publishing.md"
conffiles=$(dpkg-deb -I "${deb_device[0]}" conffiles)
for f in /etc/xdg/tovrel/zorvan.conf /etc/xdg/tovrel/updater.conf; do
  grep -qx "$f" <<<"$conffiles" || fail "tovrel-device: $f is not a conffile"
done
grep -q '^Restart=on-failure$' "$device/usr/lib/systemd/user/tovrel-zorvan.service" \
  || fail "tovrel-device: the unit does not restart on failure"
grep -q '^Exec=.*/usr/bin/zorvan' "$device/etc/xdg/autostart/tovrel-zorvan.desktop" \
  || fail "tovrel-device: the autostart entry does not start /usr/bin/zorvan"
# Every program the configuration starts is in the package.
for key in settingsapp updaterapp; do
  folder=$(sed -n "/^\[$key\]/,/^\[/s/^folder=//p" "$device/etc/xdg/tovrel/zorvan.conf")
  prog=$(sed -n "/^\[$key\]/,/^\[/s/^name=//p" "$device/etc/xdg/tovrel/zorvan.conf")
  [ -x "$device$folder/$prog" ] || fail "tovrel-device: $key names $folder/$prog, not in the package"
done

if command -v lintian >/dev/null; then
  for deb in "$work"/cpack/*.deb; do
    start=$SECONDS
    if ! timeout 300 lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1; then
      fail "lintian: $(basename "$deb")"; cat "$work/lintian.log" >&2
    fi
    echo "lintian $(basename "$deb"): $((SECONDS - start)) s"
    cat "$work/lintian.log"
  done
else
  echo "lintian not installed: skipped"
fi

[ $failures -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "packages ok"
