#!/usr/bin/env python3
"""Prints the table of scripts/bench.sh from the result files in DIR and
writes DIR/table.md (the same table) and DIR/plot.dat (input of
tools/plot_bench.gp).

    python3 bench/table.py DIR
"""
import json
import os
import statistics
import sys


def kv(line):
    out = {}
    for word in line.split():
        if "=" in word:
            k, v = word.split("=", 1)
            try:
                out[k] = float(v)
            except ValueError:
                out[k] = v
    return out


def read_lines(path):
    try:
        with open(path) as f:
            return [l.rstrip("\n") for l in f if l.strip()]
    except OSError:
        return []


def bench_json(path):
    try:
        with open(path) as f:
            return {b["name"]: b for b in json.load(f)["benchmarks"]}
    except (OSError, ValueError, KeyError):
        return {}


def find(benches, prefix, suffix=""):
    for name, b in (benches or {}).items():
        if name.startswith(prefix) and name.endswith(suffix):
            return b
    return None


def ms(b):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def fmt(x, digits=3):
    if x is None:
        return "-"
    if isinstance(x, str):
        return x
    if abs(x) >= 1e6:
        return f"{x / 1e6:.2f} M"
    if abs(x) >= 1e4:
        return f"{x / 1e3:.1f} k"
    if abs(x) >= 100:
        return f"{x:.0f}"
    return f"{x:.{digits}g}"


def main():
    d = sys.argv[1]
    rows = []  # (bench, what, ours, baseline, ratio, target, verdict)

    def row(bench, what, ours, base, ratio=None, target="", ok=None):
        verdict = "" if ok is None else ("yes" if ok else "NO")
        rows.append((bench, what, fmt(ours), fmt(base), fmt(ratio), target, verdict))

    # 1. one report exchange: median of the round medians, largest peak RSS;
    # the messenger against the floor of its design (target) and against the
    # blocking client (information).
    ex = {}
    for line in read_lines(os.path.join(d, "exchange.txt")):
        kind, rest = line.split(" ", 1)
        if kind == "reports":
            ex["arrived"] = rest
            continue
        ex.setdefault(kind, []).append(kv(rest))
    runs = {k: v for k, v in ex.items() if k != "arrived"}
    med = {k: statistics.median(r["median_ms"] for r in v) for k, v in runs.items()}
    rss = {k: max(r["median_rss_kb"] for r in v) for k, v in runs.items()}
    if "jpmd" in med:
        if "floor" in med:
            r = med["jpmd"] / med["floor"]
            row("1 exchange", "median wall ms vs floor", med["jpmd"], med["floor"], r, "<= 1.1", r <= 1.1)
        if "client" in med:
            row("1 exchange", "median wall ms vs blocking client", med["jpmd"], med["client"],
                med["jpmd"] / med["client"])
    private = {}
    for line in read_lines(os.path.join(d, "exchange_private.txt")):
        kind, rest = line.split(" ", 1)
        v = kv(rest).get("private_dirty_kb")
        if isinstance(v, float):
            private.setdefault(kind, []).append(v)
    private = {k: statistics.median(v) for k, v in private.items()}
    if "jpmd" in private:
        for base, what in (("floor", "floor"), ("client", "blocking client")):
            if private.get(base):
                row("1 exchange", "private dirty KiB, answer wait, vs " + what, private["jpmd"], private[base],
                    private["jpmd"] / private[base])
    if "jpmd" in rss and "floor" in rss:
        row("1 exchange", "peak RSS KiB vs floor", rss["jpmd"], rss["floor"], rss["jpmd"] / rss["floor"])
    if runs:
        row("1 exchange", ex.get("arrived", "reports ?"), None, None)
    perf = {}
    for line in read_lines(os.path.join(d, "exchange_perf.txt")):
        kind, rest = line.split(" ", 1)
        perf[kind] = kv(rest)
    if "jpmd" in perf and "floor" in perf:
        for key, what in (("page_faults", "page faults per run vs floor"),
                          ("context_switches", "context switches per run vs floor")):
            a, b = perf["jpmd"].get(key), perf["floor"].get(key)
            if isinstance(a, float) and isinstance(b, float) and b > 0:
                row("1 exchange", what, a, b, a / b)

    # 2. throughput and round trips.
    # Medians over the repetitions, each value on its own.
    def median_of(dicts):
        dicts = [x for x in dicts if x]
        if not dicts:
            return None
        def num(v):
            return isinstance(v, (int, float)) and not isinstance(v, bool)
        keys = [k for k in dicts[0] if all(num(x.get(k)) for x in dicts)]
        return {k: statistics.median(x[k] for x in dicts) for k in keys}

    loops = [bench_json(os.path.join(d, "ccm_loop_%d.json" % r)) for r in (1, 2, 3)]
    ns = median_of([find(l, "BM_NatStream") for l in loops])
    pp = median_of([find(l, "BM_NatPingPong") for l in loops])
    stream = median_of([kv(l) for l in read_lines(os.path.join(d, "frame_stream.txt"))]) or {}
    pings = median_of([kv(l) for l in read_lines(os.path.join(d, "frame_pingpong.txt"))]) or {}
    relay = median_of([kv(l) for l in read_lines(os.path.join(d, "frame_relay.txt"))]) or {}
    plot_tp = plot_lat = None
    if ns and "msgs_per_s" in stream:
        r = ns["items_per_second"] / stream["msgs_per_s"]
        row("2 throughput", "339-byte NAT msgs/s vs blocking loop", ns["items_per_second"], stream["msgs_per_s"], r,
            ">= 0.5", r >= 0.5)
        plot_tp = (ns["items_per_second"], stream["msgs_per_s"])
    # The sender's peak of queued bytes, where the stream reports one.
    peak = next((k for k in sorted(ns or {}) if "peak" in k.lower()), None)
    if peak:
        row("2 throughput", "sender peak queued bytes", "%d" % ns[peak], None)
    # Round trips: the target is the floor of the design, the same six
    # hand-overs in plain C (relay); the blocking loop's two hand-overs are
    # shown for information.
    if pp and "p50_us" in relay:
        a, b = pp["p50_us"], relay["p50_us"]
        row("2 round trip", "p50 us vs C relay", a, b, a / b, "<= 1.15", a / b <= 1.15)
    if pp and "p50_us" in pings:
        for q in ("p50", "p90", "p99", "p999"):
            a, b = pp[q + "_us"], pings[q + "_us"]
            row("2 round trip", q + " us vs blocking loop", a, b, a / b)
        plot_lat = [(q, pp[q + "_us"], pings[q + "_us"]) for q in ("p50", "p90", "p99")]
    if "p50_us" in relay and "p50_us" in pings:
        a, b = relay["p50_us"], pings["p50_us"]
        row("2 round trip", "p50 us, C relay vs blocking loop", a, b, a / b)

    # 3. burst.
    burst = {}
    for line in read_lines(os.path.join(d, "burst.txt")):
        kind, rest = line.split(" ", 1)
        burst[kind] = kv(rest)
    if "jpagent" in burst and "tpc" in burst:
        a, b = burst["jpagent"], burst["tpc"]
        r = a["seconds"] / b["seconds"]
        row("3 burst", "%d messengers, s" % a["started"], a["seconds"], b["seconds"], r, "<= 2", r <= 2)
        all_in = a["reports"] == a["started"] and b["reports"] == b["started"]
        row("3 burst", "reports arrived", a["reports"], b["reports"], None, "all", all_in)

    # 4. large frames.
    large = bench_json(os.path.join(d, "large.json"))
    base = {int(k["megabytes"]): k["seconds_median"] * 1e3 for k in map(kv, read_lines(os.path.join(d, "frame_large.txt")))}
    t = {}
    for mb in (1, 8, 64):
        b = find(large, "BM_LargeFrame/%d/" % mb, "_median")
        if b:
            t[mb] = ms(b)
            row("4 large frame", "%d MiB receive ms" % mb, t[mb], base.get(mb), t[mb] / base[mb] if mb in base else None)
    if 8 in t and 64 in t:
        r = t[64] / t[8]
        row("4 large frame", "64 MiB / 8 MiB", r, base[64] / base[8] if 8 in base and 64 in base else None, None,
            "<= 9", r <= 9)

    # 5. micro.
    micro = bench_json(os.path.join(d, "micro.json"))
    for name, what, key in (("BM_MsgAllocFree", "msg alloc+free (recycled) /s", "items_per_second"),
                            ("BM_MsgAllocFreeHuge/65536", "huge msg alloc+free 64 KiB /s", "items_per_second"),
                            ("BM_NatFraming", "NAT framing bytes/s", "bytes_per_second"),
                            ("BM_Classify", "classify bytes/s", "bytes_per_second"),
                            ("BM_ReadCutClassify", "read+cut+classify bytes/s", "bytes_per_second")):
        b = find(micro, name)
        if b:
            row("5 micro", what, b[key], None)
    des = find(bench_json(os.path.join(d, "des.json")), "BM_endes")
    ossl = {}
    for line in read_lines(os.path.join(d, "openssl.txt")):
        k, v = line.split()
        ossl[k] = float(v.rstrip("k")) * (1000 if v.endswith("k") else 1)
    if des:
        bps = des["blocks/s"]
        if "bytes16384" in ossl:
            b = ossl["bytes16384"] / 8
            row("5 DES", "endes blocks/s vs openssl speed (16 KiB)", bps, b, bps / b)
        if "bytes8" in ossl:
            b = ossl["bytes8"] / 8
            row("5 DES", "endes blocks/s vs openssl speed (8 B calls)", bps, b, bps / b)
        if "enc16MiB_seconds" in ossl:
            b = (16 << 20) / 8 / ossl["enc16MiB_seconds"]
            row("5 DES", "endes blocks/s vs openssl enc 16 MiB", bps, b, bps / b)
    init = find(bench_json(os.path.join(d, "des.json")), "BM_desinit")
    if init:
        us = init["real_time"] * {"ns": 1e-3, "us": 1.0, "ms": 1e3}[init.get("time_unit", "ns")]
        row("5 DES", "desinit (new key) us", us, None)

    head = ("benchmark", "measure", "this system", "baseline", "ratio", "target", "met")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    lines = ["| " + " | ".join(str(c).ljust(w) for c, w in zip(head, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines += ["| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |" for r in rows]
    text = "\n".join(lines)
    print(text)
    with open(os.path.join(d, "table.md"), "w") as f:
        f.write(text + "\n")

    with open(os.path.join(d, "plot.dat"), "w") as f:
        f.write("# throughput, messages/s: label this-system baseline\n")
        if plot_tp:
            f.write('"339-byte NAT stream" %.0f %.0f\n' % plot_tp)
        f.write("\n\n# round trip, microseconds: percentile this-system baseline\n")
        for q, a, b in plot_lat or []:
            f.write("%s %.2f %.2f\n" % (q, a, b))


if __name__ == "__main__":
    main()
