#!/usr/bin/env bash
# Load and soak runs against one agent peer, longer than CI allows:
#   1. CONCURRENT messengers started at once (default 1000): every report
#      must arrive exactly once; the time taken is printed.
#   2. SEQUENTIAL reports one after another (default 10000): the agent's
#      descriptor count must be the same at the end as after the first
#      hundred, and its resident memory may not have grown by more than
#      RSS_SLACK_KB (default 4096).
#
#   scripts/soak.sh                     # both, default sizes
#   CONCURRENT=200 SEQUENTIAL=2000 scripts/soak.sh
#
# Uses the Release build in build/ (made when missing). Exit status 0 when
# every check held; the agent's output is kept in the printed work directory.
set -euo pipefail
cd "$(dirname "$0")/.."
CONCURRENT="${CONCURRENT:-1000}"
SEQUENTIAL="${SEQUENTIAL:-10000}"
RSS_SLACK_KB="${RSS_SLACK_KB:-4096}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target wq_jpmd wq_jpagent >/dev/null

work=$(mktemp -d /tmp/wq-soak.XXXXXX)
echo "soak: work directory $work"
build/wq_jpagent --port-file "$work/port" >"$work/agent.out" 2>&1 &
agent=$!
trap 'kill $agent 2>/dev/null || true; wait $agent 2>/dev/null || true' EXIT
for _ in $(seq 600); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
fail=0

fds() { ls "/proc/$agent/fd" | wc -l; }
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$agent/status"; }
reports() { grep -c "report channel=" "$work/agent.out" || true; }
# Waits until the agent holds no more descriptors than when idle (up to 60 s).
await_idle() {
  for _ in $(seq 600); do [ "$(fds)" -le "$fd_idle" ] && return 0; sleep 0.1; done
  return 1
}
# Waits until the agent has printed at least $1 reports (up to 120 s).
await_reports() {
  for _ in $(seq 1200); do [ "$(reports)" -ge "$1" ] && return 0; sleep 0.1; done
  return 1
}

fd_idle=$(fds)

# 1. All at once. Job numbers 1..CONCURRENT; each must show exactly once.
start=$(date +%s.%N)
pids=()
for i in $(seq "$CONCURRENT"); do
  build/wq_jpmd IPA=127.0.0.1 PNR="$port" JNR="$i" TYP=E RET=0 RETRY=3 WAIT=1 TIMEOUT=120 >/dev/null 2>&1 &
  pids+=($!)
done
bad=0
for p in "${pids[@]}"; do wait "$p" || bad=$((bad + 1)); done
end=$(date +%s.%N)
await_reports "$CONCURRENT" || true
dups=$(grep -o "kind=job job=[0-9]* " "$work/agent.out" | sort | uniq -d | wc -l)
got=$(grep -o "kind=job job=[0-9]* " "$work/agent.out" | sort -u | wc -l)
printf 'soak: %d messengers at once: %d reports (%d distinct, %d duplicated), %d failed exits, %.1f s\n' \
  "$CONCURRENT" "$(reports)" "$got" "$dups" "$bad" "$(echo "$end - $start" | bc)"
if [ "$got" -ne "$CONCURRENT" ] || [ "$dups" -ne 0 ] || [ "$bad" -ne 0 ]; then fail=1; fi

# 2. One after another.
base=$(reports)
start=$(date +%s.%N)
for i in $(seq "$SEQUENTIAL"); do
  build/wq_jpmd IPA=127.0.0.1 PNR="$port" JNR=$((100000 + i)) TYP=R RETRY=1 TIMEOUT=60 >/dev/null 2>&1 || fail=1
  if [ "$i" -eq 100 ]; then
    await_reports $((base + 100)) || fail=1
    await_idle || fail=1
    fd100=$(fds); rss100=$(rss)
  fi
done
await_reports $((base + SEQUENTIAL)) || fail=1
end=$(date +%s.%N)
await_idle || fail=1
fdend=$(fds); rssend=$(rss)
lost=0
for i in $(seq "$SEQUENTIAL"); do grep -q "job=$((100000 + i)) " "$work/agent.out" || lost=$((lost + 1)); done
printf 'soak: %d reports one after another in %.1f s, %d lost: descriptors %s -> %s, memory %s kB -> %s kB\n' \
  "$SEQUENTIAL" "$(echo "$end - $start" | bc)" "$lost" "${fd100:-?}" "$fdend" "${rss100:-?}" "$rssend"
[ "$lost" -eq 0 ] || fail=1
if [ "$SEQUENTIAL" -ge 100 ]; then
  [ "$fdend" -eq "$fd100" ] || fail=1
  [ $((rssend - rss100)) -le "$RSS_SLACK_KB" ] || fail=1
fi
grep -E "AddressSanitizer|runtime error|terminate called" "$work/agent.out" && fail=1
if [ "$fail" -eq 0 ]; then echo "soak: all checks held"; else echo "soak: FAILED" >&2; fi
exit $fail
