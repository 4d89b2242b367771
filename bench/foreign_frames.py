"""A Motor on a bus shared with other nodes: CPU of the group's process and its diagnostic lines
while 5,000 foreign frames a second arrive (ids no registered driver has).

Run in the CAN test VM (or as root on a kernel with vcan0 up); cangen (Debian's can-utils) makes
the traffic. Give several module builds to compare them in one run, for example the commit before
the per-id limiter and this tree:

    git archive a678e53 | (mkdir -p /tmp/before && tar -x -C /tmp/before)
    (cd /tmp/before && tools/dev-build /tmp/before/build -DVARNEX_BUILD_TESTS=OFF)
    tools/can-vm run --timeout 900 -- "$PWD/.venv/bin/python" bench/foreign_frames.py \\
        [--seconds 5] before=/tmp/before/build after=$PWD/build/dev

Each build runs in a child process: a Motor with one device on vcan0, its standard error read
by this process (as a terminal or a journal would read it). For each: the process's CPU (its main
thread sleeps, so this is the receive task, the CAN task and the reactor), the lines it wrote per
second, and, as the floor, the same without traffic. The traffic: four ids of 8-byte frames (the
unmatched-feedback line) and one of 3-byte frames (the wrong-length warning), 1,000 a second each.
"""

import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

BUS = "vcan0"
SECONDS = 5.0  # per row; --seconds S changes it
SENDERS = [("700", 8), ("701", 8), ("702", 8), ("703", 8), ("704", 3)]
# Frames per id every 10 ms: 10 would be 5,000 a second in all, but the emulated guest's 10 ms
# gaps run long, so a little more; the table shows the rate the kernel counted.
BURST = 14

CHILD = f"""
import sys, time, varnex
motor = varnex.Motor({BUS!r}, 0x100)
motor.add_device(0, 0x201, "speed")
print("ready", flush=True)
sys.stdin.readline()
"""


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def frames_on_bus():
    """Frames sent on the interface so far (the kernel's count)."""
    with open(f"/sys/class/net/{BUS}/statistics/tx_packets") as f:
        return int(f.read())


def measure(build, traffic):
    env = dict(os.environ, PYTHONPATH=build)
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    lines = [0]

    def count():
        for _ in child.stderr:
            lines[0] += 1

    reader = threading.Thread(target=count, daemon=True)
    reader.start()
    assert child.stdout.readline().strip() == "ready"
    gens = []
    if traffic:
        # Bursts every 10 ms: a 1 ms gap is more than the emulated guest's timers keep.
        gens = [subprocess.Popen(["cangen", BUS, "-g", "10", "-c", str(BURST), "-I", can_id, "-L", str(dlc),
                                  "-D", "i"]) for can_id, dlc in SENDERS]
        time.sleep(1.0)  # the first line of each id is out of the way
    lines[0] = 0
    sent0, cpu0, t0 = frames_on_bus(), cpu_seconds(child.pid), time.monotonic()
    time.sleep(SECONDS)
    sent1, cpu1, t1 = frames_on_bus(), cpu_seconds(child.pid), time.monotonic()
    got_lines = lines[0]
    for g in gens:
        g.kill()
        g.wait()
    child.stdin.close()
    child.wait(timeout=30)
    dt = t1 - t0
    return (cpu1 - cpu0) / dt, got_lines / dt, (sent1 - sent0) / dt


def main():
    global SECONDS
    args = sys.argv[1:]
    if args[:1] == ["--seconds"]:
        SECONDS, args = float(args[1]), args[2:]
    builds = [arg.split("=", 1) for arg in args] or [("this", os.environ.get("PYTHONPATH", ""))]
    print(f"{SECONDS:g} s per row; foreign traffic: {len(SENDERS)} ids x 1000 frames/s (cangen)")
    print()
    print("| build | traffic | frames/s on the bus | CPU of the Motor's process | CPU per 1000 frames/s | diagnostic lines/s |")
    print("|---|---|---|---|---|---|")
    for name, build in builds:
        for traffic in (False, True):
            cpu, lines, frames = measure(build, traffic)
            per = f"{cpu / frames * 1000:.3f}" if frames > 0 else "-"
            print(f"| {name} | {'5 ids' if traffic else 'none'} | {frames:.0f} | {cpu:.3f} | {per} | "
                  f"{lines:.1f} |", flush=True)


if __name__ == "__main__":
    main()
