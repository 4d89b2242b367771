"""Target frames at a fixed rate while Python is busy: Motor.start_broadcast beside its anchors.

Run in the CAN test VM (or as root on a kernel with vcan0 up), on a quiet machine:

    PYTHONPATH=build/<dir> tools/can-vm run --timeout 1500 -- "$PWD/.venv/bin/python" bench/broadcast.py
    ... bench/broadcast.py --seconds 8        # longer rows
    ... bench/broadcast.py --quick            # without the realtime and priority rows

python-can (installed by tools/setup-env) and cyclictest (Debian's rt-tests) are the anchors.

Every sender runs in a child process of its own, one at a time; another process, the peer, reads
vcan0 with kernel receive time stamps (SO_TIMESTAMPNS) and counts only the group's target frames
(id 0x100, skipping the configuration frames, whose payload begins with "DR1"). Rows:

- python-can Bus.send_periodic: the kernel's broadcast manager (CAN_BCM) sending one fixed frame;
- a precision_timer(rate) whose callback calls Motor.broadcast() (and with realtime=True);
- Motor.start_broadcast(rate) (and with realtime=True, and with priority=80);
- as the floor of any sender that writes each frame itself, can-utils' cangen (C: sleep, write);

each with the sender's main thread idle (time.sleep) and busy in a pure-Python loop (default
switch interval). Columns: the share of periods that put a frame on the bus, the interval between
frames (p50), the interval error |interval - period| (p99), the longest gap in periods, the
number of gaps over 2 periods, and the CPU of the sender's threads other than its main thread
(the timer or broadcast thread, and apart the module's runtime threads, whose reactor wakes for
each frame written; the kernel's broadcast manager runs in the kernel and shows 0).

Then cyclictest in the same VM (the floor its timers allow), and the watchdog: the time from the
last set_target to the first safe frame on the bus while the main thread is stuck in a
pure-Python loop and in one long C call that holds the GIL (list.sort), beside a watchdog
written as a precision_timer callback.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from cyclictest import cyclictest

HERE = os.path.dirname(os.path.abspath(__file__))
BUS = "vcan0"
HOST = 0x100

PEER = r"""
import json, os, socket, struct, sys, threading
# The kernel stamps each frame on arrival; reading it late changes nothing, so the peer yields
# the CPUs to the sender it measures (its buffer holds the whole row).
os.nice(19)
SO_TIMESTAMPNS = 35
SO_RCVBUFFORCE = 33
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", int(sys.argv[2]), 0x7FF))
s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
try:
    s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 1 << 25)
except OSError:
    pass
s.bind((sys.argv[1],))
s.settimeout(0.2)
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.readline(), stop.set()), daemon=True).start()
print("ready", flush=True)
stamps, datas = [], []
while not stop.is_set():
    try:
        record, ancillary, _, _ = s.recvmsg(16, socket.CMSG_SPACE(16))
    except socket.timeout:
        continue
    data = record[8:8 + record[4]]
    if data[:3] == b"DR1":
        continue
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
            sec, nsec = struct.unpack("=qq", payload[:16])
            stamps.append(sec * 1_000_000_000 + nsec)
            datas.append(data.hex())
print(json.dumps({"t": stamps, "d": datas}), flush=True)
"""

# One sender. argv: kind rate seconds busy realtime priority. It prints "ready", waits for a line,
# runs its window, then prints {"start": ns, "end": ns, "cpu": cores} (CLOCK_REALTIME, the clock of
# the peer's stamps) and exits.
SENDER = r"""
import json, os, sys, threading, time
kind, rate, seconds, busy, realtime, priority = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4] == "1", sys.argv[5] == "1", int(sys.argv[6])
BUS, HOST = "vcan0", 0x100
main_tid = threading.get_native_id()

def thread_cpu():
    # (the sending thread: timer-* or broadcast-*; the module's other threads), in CPU seconds
    sending = others = 0
    for tid in os.listdir("/proc/self/task"):
        if int(tid) == main_tid:
            continue
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                head, tail = f.read().rsplit(")", 1)
        except FileNotFoundError:
            continue
        fields = tail.split()
        ticks = int(fields[11]) + int(fields[12])
        name = head.split("(", 1)[1]
        if name.startswith(("timer-", "broadcast-")):
            sending += ticks
        else:
            others += ticks
    hz = os.sysconf("SC_CLK_TCK")
    return sending / hz, others / hz

keep = []
if kind == "bcm":
    import can
    bus = can.Bus(interface="socketcan", channel=BUS)
    msg = can.Message(arbitration_id=HOST, data=bytes.fromhex("6400ceff00000000"), is_extended_id=False)
    keep.append(bus.send_periodic(msg, 1.0 / rate))
else:
    import varnex
    motor = varnex.Motor(BUS, HOST)
    a = motor.add_device(0, 0x201, "speed")
    b = motor.add_device(1, 0x202, "speed")
    a.set_target(10.0)
    b.set_target(-5.0)
    if kind == "timer":
        keep.append(varnex.precision_timer(rate, realtime=realtime)(motor.broadcast)())
    else:
        kw = {"realtime": realtime}
        if priority:
            kw["priority"] = priority
        keep.append(motor.start_broadcast(rate, **kw))
time.sleep(0.3)
print("ready", flush=True)
sys.stdin.readline()
start, cpu0 = time.time_ns(), thread_cpu()
end_at = time.monotonic() + seconds
if busy:
    x = 0
    while time.monotonic() < end_at:
        x += 1
else:
    time.sleep(seconds)
end, cpu1 = time.time_ns(), thread_cpu()
print(json.dumps({"start": start, "end": end, "cpu": (cpu1[0] - cpu0[0]) / seconds,
                  "runtime_cpu": (cpu1[1] - cpu0[1]) / seconds}), flush=True)
if kind == "bcm":
    keep[0].stop()
    bus.shutdown()
else:
    keep[0].stop()
    motor.close()
"""

# The watchdog rows. argv: kind stall watchdog rate sort_n. "broadcast": start_broadcast with
# watchdog=; "python": a precision_timer callback that zeroes the targets after `watchdog` s
# without a set, as a program would write it. The main thread sets the targets, notes the time
# (CLOCK_REALTIME) and stalls: "loop" (pure Python) or "c_call" (one list.sort holding the GIL).
WATCHDOG = r"""
import json, random, sys, time
import varnex
kind, stall, watchdog, rate, sort_n = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
motor = varnex.Motor("vcan0", 0x100)
a = motor.add_device(0, 0x201, "speed")
b = motor.add_device(1, 0x202, "current")
big = [random.random() for _ in range(sort_n)] if stall == "c_call" else None
if kind == "broadcast":
    handle = motor.start_broadcast(rate, watchdog=watchdog)
else:
    last = [time.monotonic()]
    def tick():
        if time.monotonic() - last[0] > watchdog:
            a.set_target(0.0)
            b.set_target(0.0)
        motor.broadcast()
    handle = varnex.precision_timer(rate)(tick)()
a.set_target(10.0)
b.set_target(-1.5)
time.sleep(0.3)
print("ready", flush=True)
sys.stdin.readline()
a.set_target(10.0)
b.set_target(-1.5)
if kind != "broadcast":
    last[0] = time.monotonic()
t_last = time.time_ns()
t0 = time.monotonic()
if stall == "loop":
    end = t0 + watchdog * 3 + 0.5
    while time.monotonic() < end:
        pass
else:
    big.sort()
stalled = time.monotonic() - t0
time.sleep(0.2)
print(json.dumps({"last_set": t_last, "stalled": stalled}), flush=True)
handle.stop()
motor.close()
"""


def start(code, *args):
    # The senders' diagnostic lines (the watchdog's) would break the tables.
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def expect_ready(proc, what):
    line = proc.stdout.readline().strip()
    if line != "ready":
        proc.kill()
        raise RuntimeError(f"{what} did not start (said {line!r})")


def finish(proc):
    proc.stdin.write("\n")
    proc.stdin.flush()
    out = proc.stdout.readline()
    proc.stdin.close()
    proc.wait(timeout=30)
    return json.loads(out)


def run_with_peer(code, *args):
    """Runs one sender child beside a peer; (sender's report, peer's stamps and payloads)."""
    peer = start(PEER, BUS, HOST)
    expect_ready(peer, "the peer")
    sender = start(code, *args)
    try:
        expect_ready(sender, "the sender")
        report = finish(sender)
    finally:
        if sender.poll() is None:
            sender.kill()
    time.sleep(0.1)
    heard = finish(peer)
    return report, heard["t"], heard["d"]


def pct(sorted_values, q):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(q * (len(sorted_values) - 1) + 0.5))]


def cangen_row(rate, seconds):
    """cangen (can-utils, C) sending one frame per 1/rate sleep: what a sleep-and-write loop costs
    in this machine's kernel, the floor of any sender that writes each frame itself."""
    peer = start(PEER, BUS, HOST)
    expect_ready(peer, "the peer")
    gen = subprocess.Popen(["cangen", BUS, "-g", f"{1000.0 / rate:g}", "-I", f"{HOST:X}", "-L", "8", "-D", "i"])
    try:
        time.sleep(0.5)
        with open(f"/proc/{gen.pid}/stat") as f:
            cpu0 = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
        t0 = time.time_ns()
        time.sleep(seconds)
        t1 = time.time_ns()
        with open(f"/proc/{gen.pid}/stat") as f:
            cpu1 = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
    finally:
        gen.kill()
        gen.wait()
    time.sleep(0.1)
    heard = finish(peer)
    cpu = (cpu1 - cpu0) / os.sysconf("SC_CLK_TCK") / seconds
    return {"start": t0, "end": t1, "cpu": cpu, "runtime_cpu": 0.0}, heard["t"], heard["d"]


def rate_row(label, main, kind, rate, seconds, realtime=False, priority=0):
    if kind == "cangen":
        report, stamps, _ = cangen_row(rate, seconds)
    else:
        report, stamps, _ = run_with_peer(SENDER, kind, rate, seconds, int(main == "busy"), int(realtime), priority)
    inside = [t for t in stamps if report["start"] <= t <= report["end"]]
    period_ns = 1e9 / rate
    window = (report["end"] - report["start"]) / 1e9
    intervals = [b - a for a, b in zip(inside, inside[1:])]
    errors = sorted(abs(i - period_ns) for i in intervals)
    gaps = [i / period_ns for i in intervals]
    return {
        "label": label, "main": main, "kind": kind, "realtime": realtime, "priority": priority,
        "share": min(1.0, len(inside) / (window * rate)) if window > 0 else 0.0,
        "p50_ms": statistics.median(intervals) / 1e6 if intervals else float("nan"),
        "err_p99_us": pct(errors, 0.99) / 1e3,
        "max_gap": max(gaps) if gaps else float("nan"),
        "gaps_over_2": sum(1 for g in gaps if g > 2.0),
        "cpu": report["cpu"], "runtime_cpu": report["runtime_cpu"],
    }


def watchdog_row(kind, stall, watchdog, rate, sort_n):
    report, stamps, datas = run_with_peer(WATCHDOG, kind, stall, watchdog, rate, sort_n)
    first = next((t for t, d in zip(stamps, datas) if t > report["last_set"] and d == "00" * 8), None)
    latency = (first - report["last_set"]) / 1e9 if first is not None else float("inf")
    return {"kind": kind, "stall": stall, "latency_ms": latency * 1e3, "stalled_s": report["stalled"],
            "bound_ms": (watchdog + 2 / rate) * 1e3}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=4.0, help="length of each rate row")
    ap.add_argument("--rate", type=float, default=1000.0)
    ap.add_argument("--watchdog", type=float, default=0.1, help="seconds")
    ap.add_argument("--sort-n", type=int, default=2_000_000, help="list length of the C call")
    ap.add_argument("--quick", action="store_true", help="skip the realtime and priority rows")
    ap.add_argument("--json", help="also write the results to this file")
    args = ap.parse_args()
    rate, secs = args.rate, args.seconds
    import can  # noqa: F401  (fail early when the anchor is missing)

    senders = [
        ("python-can send_periodic (CAN_BCM)", "bcm", False, 0),
        (f"precision_timer({rate:g}) -> broadcast()", "timer", False, 0),
        (f"Motor.start_broadcast({rate:g})", "broadcast", False, 0),
    ]
    if not args.quick:
        senders[2:2] = [(f"precision_timer({rate:g}, realtime=True) -> broadcast()", "timer", True, 0)]
        senders += [(f"Motor.start_broadcast({rate:g}, realtime=True)", "broadcast", True, 0),
                    (f"Motor.start_broadcast({rate:g}, priority=80)", "broadcast", False, 80)]
    rows = []
    for main_state in ("idle", "busy"):
        for label, kind, rt_mode, prio in senders:
            rows.append(rate_row(label, main_state, kind, rate, secs, rt_mode, prio))
            print(f"  measured: {label}, main {main_state}", file=sys.stderr, flush=True)
    rows.append(rate_row(f"floor: cangen -g {1000.0 / rate:g} (C, sleep + write)", "-", "cangen", rate, secs))

    print(f"python {sys.version.split()[0]}; {rate:g} Hz, {secs:g} s per row, peer with SO_TIMESTAMPNS on {BUS}")
    print()
    print("| sender | main thread | periods with a frame | interval p50 | interval error p99 | longest gap | gaps > 2 periods | CPU: sending thread | CPU: runtime threads |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['label']} | {r['main']} | {r['share'] * 100:.2f} % | {r['p50_ms']:.3f} ms | "
              f"{r['err_p99_us']:.0f} µs | {r['max_gap']:.1f} periods | {r['gaps_over_2']} | {r['cpu']:.3f} | "
              f"{r['runtime_cpu']:.3f} |")
    print()
    for rt_mode in (False, True):
        timer = [r for r in rows if r["kind"] == "timer" and r["realtime"] == rt_mode]
        bcast = [r for r in rows if r["kind"] == "broadcast" and r["realtime"] == rt_mode and not r["priority"]]
        for t, b in zip(timer, bcast):
            ratio = b["cpu"] / t["cpu"] if t["cpu"] > 0 else float("nan")
            both = (b["cpu"] + b["runtime_cpu"]) / (t["cpu"] + t["runtime_cpu"]) if t["cpu"] > 0 else float("nan")
            print(f"CPU, realtime={rt_mode}, main {t['main']}: sending thread start_broadcast {b['cpu']:.3f} / "
                  f"precision_timer {t['cpu']:.3f} = {ratio:.3f}; with the runtime threads {both:.3f} (goal <= 0.2)")
    print()

    print("cyclictest at 1 kHz in the same machine (µs late)")
    print("| cyclictest | p50 | p99 | avg | max |")
    print("|---|---|---|---|---|")
    ct = {}
    for prio in (80, 0):
        ct[prio] = c = cyclictest(secs, priority=prio)
        name = f"-p{prio}" if prio else "no priority"
        if "error" in c:
            print(f"| {name} | {c['error']} | | | |")
        else:
            print(f"| {name} | {c['p50']} | {c['p99']} | {c['avg']} | {c['max']} |")
    print()

    print(f"watchdog={args.watchdog:g} s at {rate:g} Hz: last set_target to the first safe frame on the bus")
    print("| watchdog | main thread | first safe frame after | bound (watchdog + 2 periods) | main thread stalled for |")
    print("|---|---|---|---|---|")
    wd = []
    for kind, label in (("broadcast", "start_broadcast(watchdog=)"), ("python", "precision_timer callback")):
        for stall, stall_label in (("loop", "pure-Python loop"), ("c_call", f"list.sort of {args.sort_n} floats")):
            w = watchdog_row(kind, stall, args.watchdog, rate, args.sort_n)
            wd.append(w)
            print(f"| {label} | {stall_label} | {w['latency_ms']:.1f} ms | {w['bound_ms']:.1f} ms | {w['stalled_s']:.2f} s |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "cyclictest": ct, "watchdog": wd}, f, indent=1)


if __name__ == "__main__":
    main()
