#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a small consumer program
# against the exported `ccm` package and runs it; then builds the Debian
# package, unpacks it into a scratch root and runs the messenger from there.
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

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/wq_jpmd" -V | grep -q '^WQ8 Agent "wq_jpmd" version 12.2.0+build.2108'
echo "install and package: ok"
