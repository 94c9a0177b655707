#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine.
set -euo pipefail
need=()
# tshark and groff serve the dissector and manual-page tests; pkg-config
# builds the packaging test's second consumer; clang with its runtime builds
# the fuzz targets; valgrind checks one whole exchange.
for pkg in cmake ninja-build g++ libgtest-dev libbenchmark-dev python3 tshark groff-base valgrind \
           pkg-config clang libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
