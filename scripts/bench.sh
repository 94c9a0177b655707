#!/usr/bin/env bash
# Runs the benchmarks, each against its baseline in the same run, and prints
# one table. Results (raw lines, JSON of the micro-benchmarks, the plot data)
# go to $OUT (default build-bench/results).
#
#   bash scripts/bench.sh            everything (a few minutes on 2 cores)
#   QUICK=1 bash scripts/bench.sh    fewer runs, for a smoke test
#   BENCH_NICE=-20 bash scripts/...  every measured program (both sides) at
#                                    that nice level, on a machine shared
#                                    with other work (negative needs root)
#
# The benchmarks: 1 one report exchange (wq_jpmd vs the C floor of its
# design, jp_floor, and a blocking C client, against the same wq_jpagent;
# wall time, private memory while waiting for the answer), 2 channel manager
# throughput and round trips (two contexts vs a blocking-socket loop and vs
# the C relay of the same six hand-overs), 3 a burst of 1000 messengers
# (wq_jpagent vs a thread-per-connection C agent), 4 large frames, 5 micro
# (message recycling, framing, classification, DES vs openssl).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-build-bench}
OUT=${OUT:-$BUILD/results}
QUICK=${QUICK:-0}
BURST=${BURST:-1000}
NICE=()
if [ -n "${BENCH_NICE:-}" ]; then NICE=(nice -n "$BENCH_NICE"); fi
if [ "$QUICK" = 1 ]; then
  RUNS=30; ROUNDS=1; PRIVATE=5; STREAM=50000; PINGS=5000; BURST=${BURST_QUICK:-200}
else
  RUNS=100; ROUNDS=3; PRIVATE=20; STREAM=200000; PINGS=20000
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" >/dev/null
mkdir -p "$OUT" "$BUILD/baseline"
B=$BUILD/baseline
for c in jp_client jp_floor tpc_agent frame_loop spawn; do
  cc -O2 -Wall -Wextra -pthread -o "$B/$c" "bench/baseline/$c.c"
done
# Pages of a program just written stay dirty in the page cache until they
# are written back, and smaps counts them as the running program's private
# dirty memory: write them back before anything is measured.
sync

# Descriptors for the burst: every connection is one on each side.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if [ "$(ulimit -n)" -lt $((BURST * 2 + 64)) ]; then
  echo "bench.sh: descriptor limit $(ulimit -n) is too small for a burst of $BURST" >&2
  exit 1
fi

PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# Starts an agent program with arguments, output to $1; sets AGENT_PID and
# AGENT_PORT once the "listening on" line is there.
start_agent() {
  local log=$1; shift
  : >"$log"  # there before the first look, whenever the agent gets to run
  "${NICE[@]}" "$@" >"$log" 2>&1 &
  AGENT_PID=$!
  PIDS+=("$AGENT_PID")
  for _ in $(seq 200); do
    AGENT_PORT=$(awk '/listening on/ {print $NF; exit}' "$log")
    [ -n "$AGENT_PORT" ] && return 0
    sleep 0.05
  done
  echo "bench.sh: agent did not come up: $*" >&2
  exit 1
}
stop_agent() { kill "$AGENT_PID" 2>/dev/null || true; wait "$AGENT_PID" 2>/dev/null || true; }
# Waits for agent $1 to end by itself (after --count), at most $2 seconds.
await_agent() {
  for _ in $(seq $(($2 * 20))); do kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null || true; return 0; }; sleep 0.05; done
  return 1
}
field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k {print $2}'; }

JPMD=$ROOT/$BUILD/wq_jpmd
AGENT=$ROOT/$BUILD/wq_jpagent
WORDS=(IPA=127.0.0.1 TYP=E JNR=4711 RET=0 "TXT=bench run" WAIT=1)

# The three clients of one exchange with the agent on port $1: the
# messenger, the C floor of its design and the blocking C client.
exchange_commands() {
  JPMD_CMD=("$JPMD" "${WORDS[@]}" PNR="$1")
  FLOOR_CMD=("$B/jp_floor" 127.0.0.1 "$1" "$OUT/report.frame")
  CLIENT_CMD=("$B/jp_client" 127.0.0.1 "$1" "$OUT/report.frame")
}
# Sets cmd to the command of client $1 (jpmd, floor or client).
command_of() {
  case $1 in
    jpmd) cmd=("${JPMD_CMD[@]}") ;;
    floor) cmd=("${FLOOR_CMD[@]}") ;;
    client) cmd=("${CLIENT_CMD[@]}") ;;
  esac
}

echo "== 1. one report exchange ($ROUNDS x $RUNS runs of each, in turns)"
# The report frame for the C clients: captured from a real messenger run.
start_agent "$OUT/capture.log" "$B/tpc_agent" --count 1 --save "$OUT/report.frame"
"$JPMD" "${WORDS[@]}" PNR="$AGENT_PORT" >/dev/null
await_agent "$AGENT_PID" 10
[ "$(stat -c %s "$OUT/report.frame")" = 339 ] || { echo "bench.sh: captured frame is not 339 bytes" >&2; exit 1; }
start_agent "$OUT/exchange_agent.log" "$AGENT"
exchange_commands "$AGENT_PORT"
# The same exchange: the agent's line for the report of each client is the
# messenger's, but for the connection, the time and the process fields
# (the C clients send the frame of the captured run).
"${JPMD_CMD[@]}" >/dev/null && "${FLOOR_CMD[@]}" && "${CLIENT_CMD[@]}" \
  || { echo "bench.sh: an exchange failed" >&2; exit 1; }
grep '^report ' "$OUT/exchange_agent.log" \
  | sed -E 's/ (channel|time|epoch|pid|ppid|pgrp|sid)=[^ ]*//g' >"$OUT/exchange_same.txt"
if [ "$(wc -l <"$OUT/exchange_same.txt")" != 3 ] || [ "$(sort -u "$OUT/exchange_same.txt" | wc -l)" != 1 ]; then
  echo "bench.sh: the agent saw different reports from the messenger and the C clients:" >&2
  cat "$OUT/exchange_same.txt" >&2
  exit 1
fi
: >"$OUT/exchange.txt"
for r in $(seq "$ROUNDS"); do
  "${NICE[@]}" "$B/spawn" turns "$RUNS" "${JPMD_CMD[@]}" -- "${FLOOR_CMD[@]}" -- "${CLIENT_CMD[@]}" \
    | paste -d' ' <(printf 'jpmd\nfloor\nclient\n') - >>"$OUT/exchange.txt"
done
# Page faults and context switches of one run (software events, so they
# count also where the machine offers no hardware counters).
PERF_RUNS=0
if command -v perf >/dev/null; then
  : >"$OUT/exchange_perf.txt"
  for kind in jpmd floor client; do
    command_of $kind
    PERF_RUNS=$((PERF_RUNS + 50))
    "${NICE[@]}" perf stat -x, -r 50 -e page-faults,context-switches "${cmd[@]}" 2>&1 >/dev/null \
      | awk -F, -v k=$kind '$3 == "page-faults" {f = $1} $3 == "context-switches" {c = $1}
                            END {print k, "page_faults=" f, "context_switches=" c}' >>"$OUT/exchange_perf.txt"
  done
fi
stop_agent
EXPECTED=$((3 + ROUNDS * RUNS * 3 + PERF_RUNS))
GOT=$(grep -c '^report ' "$OUT/exchange_agent.log" || true)
echo "reports arrived $GOT of $EXPECTED" >>"$OUT/exchange.txt"

# Private memory of each client while it waits for the answer: the agent
# holds each answer until the client's Private_Dirty (summed over its
# mappings in /proc/PID/smaps) has been read. Peak RSS counts the C
# library's shared pages as well, which say little about the client.
echo "== 1. private memory while waiting for the answer ($PRIVATE runs of each)"
rm -f "$OUT/hold.fifo"
mkfifo "$OUT/hold.fifo"
start_agent "$OUT/hold_agent.log" "$B/tpc_agent" --hold "$OUT/hold.fifo"
exchange_commands "$AGENT_PORT"
: >"$OUT/exchange_private.txt"
held=0
for _ in $(seq "$PRIVATE"); do
  for kind in jpmd floor client; do
    command_of $kind
    "${NICE[@]}" "${cmd[@]}" >/dev/null &
    pid=$!
    PIDS+=("$pid")
    held=$((held + 1))
    for _ in $(seq 200); do
      [ "$(grep -c '^report ' "$OUT/hold_agent.log" || true)" -ge $held ] && break
      sleep 0.05
    done
    kb=$(awk '/^Private_Dirty:/ {s += $2} END {print s}' "/proc/$pid/smaps" 2>/dev/null || true)
    timeout 10 sh -c 'echo go >"$1"' sh "$OUT/hold.fifo" || true
    wait "$pid" || { echo "bench.sh: $kind failed while its answer was held" >&2; exit 1; }
    [ -n "$kb" ] || { echo "bench.sh: no smaps of $kind" >&2; exit 1; }
    echo "$kind private_dirty_kb=$kb" >>"$OUT/exchange_private.txt"
  done
done
stop_agent
rm -f "$OUT/hold.fifo"

echo "== 2. channel manager throughput and round trips"
# Three repetitions of each, interleaved; the table takes the medians.
: >"$OUT/frame_stream.txt"
: >"$OUT/frame_pingpong.txt"
: >"$OUT/frame_relay.txt"
for r in 1 2 3; do
  "${NICE[@]}" "$BUILD/ccm_loop_bench" --benchmark_filter='NatStream|NatPingPong' --benchmark_format=json \
    --benchmark_out="$OUT/ccm_loop_$r.json" --benchmark_out_format=json >/dev/null
  "${NICE[@]}" "$B/frame_loop" stream "$STREAM" >>"$OUT/frame_stream.txt"
  "${NICE[@]}" "$B/frame_loop" pingpong "$PINGS" >>"$OUT/frame_pingpong.txt"
  # The same round trip through six blocking hand-overs, the shape of two
  # contexts without the channel manager: the floor of that design.
  "${NICE[@]}" "$B/frame_loop" relay "$PINGS" >>"$OUT/frame_relay.txt"
done

echo "== 3. burst of $BURST messengers"
: >"$OUT/burst.txt"
for kind in jpagent tpc; do
  if [ $kind = jpagent ]; then
    start_agent "$OUT/burst_$kind.log" "$AGENT" --count "$BURST"
  else
    start_agent "$OUT/burst_$kind.log" "$B/tpc_agent" --count "$BURST"
  fi
  res=$("${NICE[@]}" "$B/spawn" burst "$BURST" "$JPMD" "${WORDS[@]}" PNR="$AGENT_PORT")
  await_agent "$AGENT_PID" 120 || stop_agent
  n=$(grep -c '^report ' "$OUT/burst_$kind.log" || true)
  echo "$kind $res reports=$n" >>"$OUT/burst.txt"
done

echo "== 4. large frames"
"${NICE[@]}" "$BUILD/ccm_loop_bench" --benchmark_filter='LargeFrame' --benchmark_format=json \
  --benchmark_out="$OUT/large.json" --benchmark_out_format=json >/dev/null
: >"$OUT/frame_large.txt"
for mb in 1 8 64; do
  runs=$(for _ in 1 2 3 4 5 6 7; do field "$("${NICE[@]}" "$B/frame_loop" large "$mb")" seconds; done | sort -g)
  echo "megabytes=$mb seconds_median=$(sed -n 4p <<<"$runs")" >>"$OUT/frame_large.txt"
done

echo "== 5. micro-benchmarks and DES against openssl"
"${NICE[@]}" "$BUILD/ccm_micro_bench" --benchmark_format=json --benchmark_out="$OUT/micro.json" \
  --benchmark_out_format=json >/dev/null
"${NICE[@]}" "$BUILD/des_bench" --benchmark_filter='endes|desinit' --benchmark_format=json --benchmark_out="$OUT/des.json" \
  --benchmark_out_format=json >/dev/null
if command -v openssl >/dev/null; then
  openssl speed -provider legacy -provider default -evp des-ecb -seconds 2 -bytes 8 2>/dev/null \
    | awk '/^DES-ECB/ {print "bytes8", $2}' >"$OUT/openssl.txt" || true
  openssl speed -provider legacy -provider default -evp des-ecb -seconds 2 -bytes 16384 2>/dev/null \
    | awk '/^DES-ECB/ {print "bytes16384", $2}' >>"$OUT/openssl.txt" || true
  # The enc command line over 16 MiB, as a user would run it.
  head -c $((16 << 20)) /dev/zero >"$OUT/des.in"
  python3 - "$OUT/des.in" >>"$OUT/openssl.txt" <<'PY'
import subprocess, sys, time
t = time.monotonic()
subprocess.run(["openssl", "enc", "-des-ecb", "-provider", "legacy", "-provider", "default",
                "-K", "486d335478233671", "-nopad", "-in", sys.argv[1], "-out", "/dev/null"], check=True)
print("enc16MiB_seconds", time.monotonic() - t)
PY
  rm -f "$OUT/des.in"
fi

python3 bench/table.py "$OUT"
