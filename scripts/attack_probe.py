#!/usr/bin/env python3
"""Memory of wq_jpagent under clients that try to make it grow.

Starts build/wq_jpagent (or $AGENT) for each attack, serves one real
messenger to warm it up, and reads its peak resident memory (VmHWM in
/proc/PID/status) before and after the attack. Real messengers (build/wq_jpmd
or $JPMD) run during every attack and must be served. Prints one line per
attack and exits with status 1 when a target is missed.

  1. one connection sends 20,000 report frames and never reads: the agent's
     peak RSS grows by at most 16 MiB, and every report is handled;
  2. 40 connections each announce a frame of 99,999,999 bytes and send
     1 MiB of it: at most 16 MiB.

    python3 scripts/attack_probe.py            # the agent with its defaults
    AGENT_ARGS="--max-frame 99999999" python3 scripts/attack_probe.py
"""
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AGENT = os.environ.get("AGENT", os.path.join(ROOT, "build", "wq_jpagent"))
JPMD = os.environ.get("JPMD", os.path.join(ROOT, "build", "wq_jpmd"))
AGENT_ARGS = os.environ.get("AGENT_ARGS", "").split()
TARGET_KIB = 16 * 1024
DEADLINE = 120


def header(length, protocol=b"NAT"):
    return b"%08dWQ8:global001%s%s" % (length, protocol, b" " * 24)


def report_frame(n=200):
    meld = b"MELD    " + bytes(n - 8)
    body = b"\x01\x08JPAKTJ_R\xff" + struct.pack("<I", len(meld)) + meld
    return header(len(body) + 48) + body


def hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


class Agent:
    """The agent with its output read all the time by a thread."""

    def __init__(self):
        self.proc = subprocess.Popen([AGENT] + AGENT_ARGS, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines = []
        self.reports = 0
        self.cv = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        line = self.wait_for(lambda l: "listening on" in l)
        self.port = int(line.rsplit(" ", 1)[1])

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            with self.cv:
                self.lines.append(line)
                self.reports += "report channel=" in line
                self.cv.notify_all()
        with self.cv:
            self.lines.append(None)
            self.cv.notify_all()

    def wait_for(self, pred, seconds=DEADLINE):
        end = time.time() + seconds
        with self.cv:
            seen = 0
            while True:
                for l in self.lines[seen:]:
                    if l is not None and pred(l):
                        return l
                seen = len(self.lines)
                if None in self.lines or time.time() >= end:
                    raise RuntimeError("agent: no such line; last: %r" % self.lines[-3:])
                self.cv.wait(max(0.01, end - time.time()))

    def wait_reports(self, n, seconds=DEADLINE):
        """Waits until n report lines have arrived."""
        end = time.time() + seconds
        with self.cv:
            while self.reports < n:
                if None in self.lines[-1:] or time.time() >= end:
                    raise RuntimeError("agent: %d of %d reports" % (self.reports, n))
                self.cv.wait(max(0.01, end - time.time()))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(DEADLINE)
        with self.cv:
            while None not in self.lines[-1:]:
                self.cv.wait(DEADLINE)
            return [l for l in self.lines if l is not None and "receive queue peak" in l]


def messenger(agent, job):
    """Runs one real messenger; True when it ended with 0 and was reported."""
    r = subprocess.run([JPMD, "IPA=127.0.0.1", "PNR=%d" % agent.port, "JNR=%d" % job, "TYP=E", "RET=0",
                        "RETRY=1", "TIMEOUT=60"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=DEADLINE)
    if r.returncode != 0:
        return False
    agent.wait_for(lambda l: "job=%d " % job in l)
    return True


def never_reads(agent, frames=20000):
    s = socket.create_connection(("127.0.0.1", agent.port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    batch = report_frame() * 100
    for _ in range(frames // 100):
        s.sendall(batch)
    return s, frames


def oversize(agent, n=40, mib=1):
    held = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", agent.port))
        s.settimeout(DEADLINE)
        held.append(s)
        try:
            s.sendall(header(99999999) + bytes(mib << 20))
        except OSError:
            pass  # the agent closed the connection for its length
    return held


def run(name, attack):
    agent = Agent()
    try:
        if not messenger(agent, 1):
            raise RuntimeError("warm-up messenger not served")
        before = hwm_kib(agent.proc.pid)
        served = []
        done = threading.Event()

        def messengers():
            job = 100
            while not done.is_set() and job < 400:
                served.append(messenger(agent, job))
                job += 1

        t = threading.Thread(target=messengers)
        t.start()
        held, reports = attack(agent)
        done.set()
        t.join()
        agent.wait_reports(reports + 1 + len(served))
        served.append(messenger(agent, 9))
        after = hwm_kib(agent.proc.pid)
        for s in held if isinstance(held, list) else [held]:
            s.close()
        peak = agent.stop()
        grown = after - before
        ok = grown <= TARGET_KIB and all(served)
        print("%-44s VmHWM %6d -> %6d KiB, grown %6d KiB (target <= %d)  messengers served %d/%d  %s  %s"
              % (name, before, after, grown, TARGET_KIB, sum(served), len(served), peak[0] if peak else "",
                 "ok" if ok else "MISSED"))
        return ok
    finally:
        if agent.proc.poll() is None:
            agent.proc.kill()


def main():
    ok = run("1. 20,000 reports, client never reads", never_reads)
    ok = run("2. 40 x announce 99,999,999, send 1 MiB", lambda a: (oversize(a), 0)) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
