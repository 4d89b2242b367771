"""precision_timer(priority=, cpu=) beside a CPU hog on the same CPU, and cyclictest -p80 there.

Run as root (SCHED_FIFO needs CAP_SYS_NICE or an rtprio limit) on a quiet machine; no CAN needed:

    PYTHONPATH=build/<dir> .venv/bin/python bench/realtime_priority.py [--seconds 4] [--cpu N]

A hog process (a pure-Python loop) is pinned to CPU N (default: the last CPU). Then, each for
--seconds, with the hog running:
- precision_timer(1000) pinned to N without priority: the timer thread shares N with the hog;
- precision_timer(1000, priority=80, cpu=N);
- cyclictest -p80 -a N at 1 kHz (Debian's rt-tests), the floor of the machine's timers;
and, as a reference, the same timer without the hog. Lateness is the call's start minus its grid
point (time.perf_counter_ns in the callback; the grid's phase from the earliest call, taken as
on time), in µs. The process's
main thread sleeps, so the callbacks never wait for the GIL: this measures scheduling only.
"""

import argparse
import os
import subprocess
import sys
import time

from cyclictest import cyclictest

HOG = "import os, sys; os.sched_setaffinity(0, {int(sys.argv[1])})\nwhile True: pass"


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * (len(values) - 1) + 0.5))] if values else float("nan")


def timer_lateness(seconds, cpu, priority):
    import varnex

    starts = []
    kwargs = {"cpu": cpu}
    if priority:
        kwargs["priority"] = priority
    handle = varnex.precision_timer(1000.0, **kwargs)(lambda: starts.append(time.perf_counter_ns()))()
    time.sleep(seconds)
    handle.stop()
    time.sleep(0.05)
    if not starts:
        return {}
    # The deadline each call served, as the timer thread computes it: after a wake at t for
    # deadline d, the next is d + period, or, when t is more than a period late, the first grid
    # point after t (the points passed are skipped).
    period = 1_000_000
    due, late = starts[0], []
    for t in starts:
        late.append((t - due) / 1000)
        nxt = due + period
        if t > nxt + period:
            nxt = due + period * ((t - due) // period + 1)
        due = nxt
    # The grid starts on the thread a moment before the first call's clock reading: no call
    # starts before its deadline, so the earliest one stands for lateness 0.
    floor = min(late)
    late = [x - floor for x in late]
    return {"p50": percentile(late, 0.5), "p99": percentile(late, 0.99), "max": max(late),
            "served": len(starts) / (seconds * 1000)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--cpu", type=int, default=max(os.sched_getaffinity(0)))
    args = ap.parse_args()
    rows = [("precision_timer(1000, cpu=N), no hog", lambda: timer_lateness(args.seconds, args.cpu, 0))]
    hogged = [
        ("precision_timer(1000, cpu=N), hog on N", lambda: timer_lateness(args.seconds, args.cpu, 0)),
        ("precision_timer(1000, priority=80, cpu=N), hog on N",
         lambda: timer_lateness(args.seconds, args.cpu, 80)),
        ("cyclictest -p80 -a N, hog on N",
         lambda: {**cyclictest(args.seconds, priority=80, cpu=args.cpu), "served": 1.0}),
    ]
    results = [(name, fn()) for name, fn in rows]
    hog = subprocess.Popen([sys.executable, "-c", HOG, str(args.cpu)])
    try:
        time.sleep(0.5)
        results += [(name, fn()) for name, fn in hogged]
    finally:
        hog.kill()
        hog.wait()
    print(f"CPU N = {args.cpu}; {args.seconds:g} s per row; lateness in µs")
    print()
    print("| 1 kHz | p50 | p99 | max | grid points served |")
    print("|---|---|---|---|---|")
    for name, r in results:
        if not r:
            print(f"| {name} | no call | | | |")
            continue
        print(f"| {name} | {r['p50']:.1f} | {r['p99']:.1f} | {r['max']:.1f} | {r['served'] * 100:.1f} % |")


if __name__ == "__main__":
    main()
