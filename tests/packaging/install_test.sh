#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a program outside
# this project gets: only the public headers, under include/ccm, each of
# which compiles on its own; the manual pages. Then builds the examples
# (echo server and client) against the installed package with g++ and with
# clang++, each at its default standard, through the CMake package
# (find_package(ccm), ccm::ccm) and through pkg-config, and runs every
# client against a server of another build: each must get its payloads
# back once, intact and in order. Last, builds the Debian package, unpacks
# it into a scratch root and runs the messenger from there.
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/wq_jpmd"
for page in man1/wq_jpmd.1 man1/wq_jpagent.1 man3/ccm.3; do
  test -f "$prefix/share/man/$page" || fail "manual page $page is not installed"
done

headers=$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./ccm/ccm.h ./ccm/ccm_queue.h ./ccm/ipcmsg.h ./ccm/wq_log.h " ] ||
  fail "installed headers: $headers"
if grep -n -i -E 'private|test hook|fail_at' "$prefix"/include/ccm/*.h; then
  fail "an installed header is private or carries a test hook"
fi

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cflags=$(pkg-config --cflags ccm)
pc=$(pkg-config --cflags --libs ccm)
builds=()
for cxx in g++ clang++; do
  command -v "$cxx" >/dev/null || fail "$cxx is not installed (scripts/setup.sh installs it)"
  for h in ccm.h ccm_queue.h ipcmsg.h wq_log.h; do
    echo "#include <ccm/$h>" | "$cxx" -Wall -Wextra -Werror -fsyntax-only -x c++ - $cflags ||
      fail "<ccm/$h> does not compile on its own with $cxx"
  done
  out=$work/cmake-$cxx
  cmake -S "$top/examples" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
  cmake --build "$out" >/dev/null
  builds+=("$out")
  out=$work/pc-$cxx
  mkdir -p "$out"
  for name in echo_server echo_client; do
    "$cxx" -Wall -Wextra -Werror -o "$out/$name" "$top/examples/$name.cpp" $pc
  done
  builds+=("$out")
done

# Each client against the server of the next build. The server's first line
# names its port; it ends after one client and then reports what it echoed.
# Both run under a time limit, so that a library that hangs fails the test
# and leaves no process behind.
n=${#builds[@]}
for ((i = 0; i < n; i++)); do
  server=${builds[i]}/echo_server client=${builds[(i + 1) % n]}/echo_client
  fifo=$work/server.$i
  mkfifo "$fifo"
  timeout 60 "$server" 0 1 >"$fifo" &
  exec 3<"$fifo"
  read -r line <&3
  port=${line##*port }
  timeout 60 "$client" "$port" 500 | grep -qx "echo_client: 500 messages echoed once, intact and in order" ||
    fail "$client against $server"
  line=$(cat <&3)
  exec 3<&-
  wait $! || fail "$server failed"
  [ "$line" = "echo_server: echoed 500 messages for 1 clients" ] || fail "$server: $line"
done
# A port that is bound but not listening refuses connections: the client
# reports the refused connect as its channel's close reason.
coproc HOLD { python3 -c 'import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1], flush=True); sys.stdin.read()'; }
read -r port <&"${HOLD[0]}"
if timeout 60 "${builds[0]}/echo_client" "$port" 5 2>"$work/refused"; then fail "a refused client succeeded"; fi
eval "exec ${HOLD[1]}>&-"
grep -q "connection closed: 2002036 .*(Connection refused)" "$work/refused" || fail "$(cat "$work/refused")"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -x "$deb" "$work/root"
test -f "$work/root/usr/lib/pkgconfig/ccm.pc"
test -f "$work/root/usr/share/man/man3/ccm.3"
"$work/root/usr/bin/wq_jpmd" -V | grep -q '^WQ8 Agent "wq_jpmd" version 12.2.0+build.2108'
echo "install, examples and package: ok"
