#!/usr/bin/env bash
# Builds everything (in build/, whatever scripts/run.sh has not built yet)
# and runs the whole test suite. WQ_SANITIZE=address|thread selects a
# sanitizer build in its own directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
san="${WQ_SANITIZE:-}"
dir=build${san:+-$san}
type=Release; [ -n "$san" ] && type=RelWithDebInfo
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$type -DWQ_SANITIZE="$san" >/dev/null
cmake --build "$dir"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j2
