#!/usr/bin/env bash
# Builds the messenger and the agent peer, starts the agent on a free
# loopback port, sends one job end report through the messenger, shows what
# both sides printed, and stops the agent.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The same configuration as scripts/test.sh, so that the test run later
# builds only what is missing here instead of configuring anew; only the two
# programs are built now (the tests and benchmarks are scripts/test.sh's).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DWQ_SANITIZE= >/dev/null
cmake --build build --target wq_jpmd wq_jpagent
./build/wq_jpmd -V
work=$(mktemp -d)
agent=
trap '[ -n "$agent" ] && kill "$agent" 2>/dev/null; rm -rf "$work"' EXIT
./build/wq_jpagent --port 0 --port-file "$work/port" --count 1 >"$work/agent.out" 2>&1 &
agent=$!
# The agent writes its port once it listens; give it up to 10 seconds.
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
echo "== messenger (agent on 127.0.0.1 port $port)"
status=0
./build/wq_jpmd IPA=127.0.0.1 PNR="$port" TYP=E JNR=42 RET=3 TXT="nightly run" WAIT=0 TIMEOUT=30 || status=$?
echo "== messenger exit status: $status (the job's return code)"
wait "$agent" || true
agent=
echo "== agent"
cat "$work/agent.out"
