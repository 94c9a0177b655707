#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a small consumer program
# against it twice, through the exported CMake package `ccm` and with the
# flags of `pkg-config --cflags --libs ccm`, and runs both; then builds the
# Debian package, unpacks it into a scratch root and runs the messenger from
# there.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/wq_jpmd"
cmake -S "$src/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/ccm_consumer" | grep -qx "ccm consumer ok"
# The compiler of the build, with nothing but the flags pkg-config gives.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs ccm)
"${cxx:-c++}" -std=c++20 -o "$work/ccm_consumer_pc" "$src/consumer/main.cpp" $flags
"$work/ccm_consumer_pc" | grep -qx "ccm consumer ok"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -x "$deb" "$work/root"
test -f "$work/root/usr/lib/pkgconfig/ccm.pc"
"$work/root/usr/bin/wq_jpmd" -V | grep -q '^WQ8 Agent "wq_jpmd" version 12.2.0+build.2108'
echo "install and package: ok"
