"""What many timers cost: N timers at 100 Hz each, of every kind, against asyncio.

    PYTHONPATH=build/<dir> .venv/bin/python bench/timer_scaling.py [--quick] [--counts 1,10,100,1000]
        [--kinds timer,precision,adaptive,asyncio] [--json FILE]

Every case runs in its own child process (a fresh interpreter): N timers calling a function that
only counts its calls, the main thread in time.sleep (or, for asyncio, N tasks each looping on
asyncio.sleep to its own 100 Hz grid, skipping passed grid points like the timers do). After a
warm-up the child measures over a window:

  calls/s    calls of all N timers per second over the window, and as a share of the target
             (N x 100/s). The timers skip grid points they cannot serve rather than catch up,
             so this share is the share of ticks served.
  cpu        CPU time of the child over the window's wall time (1.0 = one CPU all the time).
  us/call    that CPU time per call, in microseconds; "vs asyncio" divides it by asyncio's at the
             same N in the same run (below 1: cheaper than asyncio).
  others     CPU the rest of the machine used meanwhile (CPUs busy, from /proc/stat minus the
             child). Compare only runs where it is small.

Kinds: "timer" is varnex.timer(100.0); "precision" is varnex.precision_timer(100.0) (its own
thread, spinning the last 0.8 ms before each deadline); "adaptive" is
varnex.precision_timer(100.0, spin="adaptive"); "asyncio" is the anchor. A thousand precision
timers are a thousand threads that want to spin 8 % of the time each: on a small machine that
case takes every CPU for its few seconds.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HZ = 100.0


# ---------------------------------------------------------------------------------------------
# Child side: one case, prints one JSON line.


def measure(total_calls, warmup, window, wait):
    """Waits `warmup`, then measures calls and CPU over `window` seconds; `wait` sleeps."""
    wait(warmup)
    calls0, cpu0, wall0 = total_calls(), time.process_time(), time.perf_counter()
    wait(window)
    calls1, cpu1, wall1 = total_calls(), time.process_time(), time.perf_counter()
    return {"calls": calls1 - calls0, "cpu_s": cpu1 - cpu0, "wall_s": wall1 - wall0}


def run_varnex(kind, n, warmup, window):
    import varnex

    counts = [0] * n

    def make(i):
        def tick():
            counts[i] += 1
        return tick

    if kind == "timer":
        decorator = varnex.timer(HZ)
    elif kind == "precision":
        decorator = varnex.precision_timer(HZ)
    else:
        decorator = varnex.precision_timer(HZ, spin="adaptive")
    handles = [decorator(make(i))() for i in range(n)]
    try:
        return measure(lambda: sum(counts), warmup, window, time.sleep)
    finally:
        for h in handles:
            h.stop()


def run_asyncio(n, warmup, window):
    import asyncio

    period = 1.0 / HZ
    counts = [0] * n

    async def ticker(i):
        loop = asyncio.get_running_loop()
        nxt = loop.time()
        while True:
            counts[i] += 1
            nxt += period
            now = loop.time()
            if now > nxt:  # skip the grid points already passed, as the timers do
                nxt += ((now - nxt) // period + 1) * period
            await asyncio.sleep(nxt - now)

    async def main():
        tasks = [asyncio.ensure_future(ticker(i)) for i in range(n)]
        await asyncio.sleep(warmup)
        calls0, cpu0, wall0 = sum(counts), time.process_time(), time.perf_counter()
        await asyncio.sleep(window)
        result = {"calls": sum(counts) - calls0, "cpu_s": time.process_time() - cpu0,
                  "wall_s": time.perf_counter() - wall0}
        for t in tasks:
            t.cancel()
        return result

    return asyncio.run(main())


def child_main(case):
    kind, n = case["kind"], case["n"]
    if kind == "asyncio":
        out = run_asyncio(n, case["warmup"], case["window"])
    else:
        out = run_varnex(kind, n, case["warmup"], case["window"])
    print(json.dumps(out))


# ---------------------------------------------------------------------------------------------
# Parent side.


def machine_busy_jiffies():
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    user, nice, system, idle, iowait, irq, softirq, steal = (fields + [0] * 8)[:8]
    return user + nice + system + irq + softirq + steal


def run_case(kind, n, warmup, window):
    case = {"kind": kind, "n": n, "warmup": warmup, "window": window}
    busy0, wall0, ru0 = machine_busy_jiffies(), time.perf_counter(), os.times()
    proc = subprocess.run([sys.executable, __file__, "--child", json.dumps(case)],
                          capture_output=True, text=True, timeout=warmup + window + 120)
    busy1, wall1, ru1 = machine_busy_jiffies(), time.perf_counter(), os.times()
    row = {"kind": kind, "n": n}
    if proc.returncode != 0:
        row["error"] = (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]
        return row
    out = json.loads(proc.stdout)
    child_cpu = (ru1.children_user - ru0.children_user) + (ru1.children_system - ru0.children_system)
    others = max(0.0, ((busy1 - busy0) / os.sysconf("SC_CLK_TCK") - child_cpu) / (wall1 - wall0))
    calls_per_s = out["calls"] / out["wall_s"]
    row.update(
        calls_per_s=calls_per_s,
        served=calls_per_s / (n * HZ),
        cpu=out["cpu_s"] / out["wall_s"],
        us_per_call=1e6 * out["cpu_s"] / out["calls"] if out["calls"] else float("inf"),
        others=others,
    )
    return row


def print_table(rows):
    by = {(r["kind"], r["n"]): r for r in rows}
    print(f"{'kind':10} {'N':>5} {'calls/s':>10} {'of target':>9} {'cpu':>6} {'us/call':>8}"
          f" {'vs asyncio':>10} {'others':>6}")
    for r in rows:
        if "error" in r:
            print(f"{r['kind']:10} {r['n']:5d} ERROR {r['error']}")
            continue
        anchor = by.get(("asyncio", r["n"]))
        ratio = ""
        if anchor and "error" not in anchor and r["kind"] != "asyncio":
            ratio = f"{r['us_per_call'] / anchor['us_per_call']:10.2f}"
        print(f"{r['kind']:10} {r['n']:5d} {r['calls_per_s']:10.0f} {100 * r['served']:8.1f}%"
              f" {r['cpu']:6.3f} {r['us_per_call']:8.1f} {ratio:>10} {r['others']:6.2f}")
    quiet = max((r.get("others", 0) for r in rows), default=0)
    print(f"\n  busiest 'others' reading: {quiet:.2f} CPUs"
          + ("  (noisy run: compare with care)" if quiet > 0.2 else "  (quiet run)"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child")
    parser.add_argument("--quick", action="store_true", help="shorter windows (about a minute)")
    parser.add_argument("--counts", default="1,10,100,1000", help="numbers of timers, comma-separated")
    parser.add_argument("--kinds", default="asyncio,timer,precision,adaptive",
                        help="kinds to run, comma-separated: asyncio, timer, precision, adaptive")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args()
    if args.child:
        child_main(json.loads(args.child))
        return
    warmup, window = (0.5, 1.5) if args.quick else (1.0, 4.0)
    counts = [int(c) for c in args.counts.split(",")]
    kinds = args.kinds.split(",")
    rows = []
    for n in counts:
        for kind in kinds:
            rows.append(run_case(kind, n, warmup, window))
            print(f"  done: {kind} x {n}", file=sys.stderr)
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {HZ:.0f} Hz per timer, "
          f"window {window:.1f} s")
    print_table(rows)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
