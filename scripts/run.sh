#!/usr/bin/env bash
# Builds the messenger and shows its report for a job end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build
./build/wq_jpmd -V
./build/wq_jpmd TYP=E JNR=42 RET=0 TXT="nightly run" RETRY=0
