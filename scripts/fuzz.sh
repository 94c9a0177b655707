#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets (fuzz/*_fuzz.cpp, clang with
# AddressSanitizer + UndefinedBehaviorSanitizer) in build-fuzz, replays every
# committed corpus under fuzz/corpus/<target>/, then runs each target for
# SECONDS seconds on a scratch copy of its corpus. Fails on the first finding;
# the input that caused it is kept in the scratch directory (printed).
#
#   scripts/fuzz.sh SECONDS            # every target, SECONDS each
#   scripts/fuzz.sh SECONDS read cmd   # only the named targets
#
# Environment: FUZZ_WORK (scratch directory, default a new temporary one;
# reuse it to keep the grown corpora between runs), FUZZ_JOBS (targets run at
# the same time, default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:?usage: scripts/fuzz.sh SECONDS [target...]}"
shift
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWQ_FUZZ=ON \
  -DWQ_BUILD_TESTS=OFF -DWQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cpp; do t=$(basename "$f" _fuzz.cpp); targets+=("$t"); done
fi
work="${FUZZ_WORK:-$(mktemp -d /tmp/wq-fuzz.XXXXXX)}"
mkdir -p "$work"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Replay: every committed input once.
for t in "${targets[@]}"; do
  if ! "$dir/${t}_fuzz" -runs=0 -artifact_prefix="$work/$t-" "fuzz/corpus/$t" >"$work/$t.replay.log" 2>&1; then
    echo "fuzz: replay of fuzz/corpus/$t failed, see $work/$t.replay.log" >&2
    tail -40 "$work/$t.replay.log" >&2
    exit 1
  fi
done
echo "fuzz: corpora replayed (${targets[*]})"

# Short runs: new inputs go to the scratch corpus only.
run_one() {
  local t=$1
  mkdir -p "$work/$t"
  if "$dir/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$t-" \
    "$work/$t" "fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
    echo "fuzz: $t: ${runs:-?} executions in ${seconds}s, no finding"
  else
    echo "fuzz: $t: FINDING, see $work/$t.log and $work/$t-*" >&2
    tail -60 "$work/$t.log" >&2
    return 1
  fi
}
status=0
jobs_max="${FUZZ_JOBS:-1}"
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs_max" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
