"""Frames lost at a full bus's rate: N frames at RATE frames/s (a 1 Mbit/s bus carries about
8,000 classic frames a second), received by varnex's Motor and CanDeviceNonBlocking and, as the
anchor, by python-can's SocketCAN bus read in a thread with its socket's default receive buffer.

Run in the CAN test VM (or directly on a kernel with vcan0 up, as root); for before/after, run
it once per build in one VM session:

    PYTHONPATH=build/<dir> tools/can-vm run -- /work/main/.venv/bin/python bench/frame_loss.py

Another process sends the frames on vcan0, as a driver would: feedback frames on node 0x201
(8 bytes, a counter in the position field). Paced: 8 frames at every millisecond's mark (the
guest's sleeps are too coarse for single frames every 125 us); unpaced: as fast as it can. For
each receiver the lost frames are N minus what it took: the Motor's device counts stored
feedback frames (feedback_count), the devices count what they received; CPU is what the
receiving process used during the round.

In the emulated guest the sender shares two virtual CPUs with the receiver, and a receiver that
keeps every frame slows it (a plain Python reader with a 4 MiB buffer took the sender from 32 k
to 5 k frames/s there): compare the lost frames at the rate the sender reached, and run it on a
quiet host.
"""

import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import varnex  # noqa: E402

import can  # noqa: E402  python-can

N = int(os.environ.get("BENCH_FRAMES", "20000"))
RATE = float(os.environ.get("BENCH_RATE", "8000"))
BUS = "vcan0"
NODE = 0x201

SENDER = f"""
import socket, struct, sys, time
count, rate = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind(({BUS!r},))
frame = struct.Struct("=IB3x8s")
per_tick = 8
tick = per_tick / rate if rate > 0 else 0.0
start = time.perf_counter()
due = start
for i in range(count):
    if rate > 0 and i % per_tick == 0:
        due += tick
        delay = due - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    s.send(frame.pack({NODE}, 8, struct.pack("<fhh", float(i), 0, 0)))
print(f"{{count / (time.perf_counter() - start):.0f}}", flush=True)
"""


def send(rate):
    """Sends N frames from another process; the rate it achieved."""
    out = subprocess.run([sys.executable, "-c", SENDER, str(N), str(rate)], check=True,
                         capture_output=True, text=True, timeout=600)
    return float(out.stdout)


def settle(count, quiet=1.0, limit=30.0):
    """count() once it has stopped changing for `quiet` seconds."""
    end = time.monotonic() + limit
    last = count()
    while time.monotonic() < end:
        time.sleep(quiet)
        now = count()
        if now == last:
            return now
        last = now
    return last


def motor_round(rate):
    motor = varnex.Motor(BUS, 0x100)
    device = motor.add_device(0, NODE, "speed")
    achieved = send(rate)
    got = settle(lambda: device.feedback_count)
    device = motor = None  # dropped before the next round opens its own
    return achieved, got


def non_blocking_round(rate):
    dev = varnex.CanDeviceNonBlocking(BUS)
    achieved = send(rate)
    got = 0
    # The task has queued whatever it read; what it missed is gone from the socket already.
    while dev.receive_timeout(1000) is not None:
        got += 1
    del dev
    return achieved, got


def python_can_round(rate):
    bus = can.Bus(interface="socketcan", channel=BUS)
    got = [0]
    stop = threading.Event()

    def read():
        while not stop.is_set():
            if bus.recv(0.2) is not None:
                got[0] += 1

    reader = threading.Thread(target=read)
    reader.start()
    achieved = send(rate)
    settle(lambda: got[0])
    stop.set()
    reader.join()
    bus.shutdown()
    return achieved, got[0]


RECEIVERS = [("varnex Motor (feedback_count)", motor_round),
             ("varnex CanDeviceNonBlocking", non_blocking_round),
             ("python-can Bus.recv thread", python_can_round)]


def measured(run, rate):
    """(rate the sender achieved, frames taken, CPU seconds this process used) of one round."""
    before = os.times()
    achieved, got = run(rate)
    after = os.times()
    return achieved, got, (after.user - before.user) + (after.system - before.system)


def main():
    print(f"python {sys.version.split()[0]}, python-can {can.__version__}, varnex from "
          f"{os.path.dirname(varnex.__file__)}; {N} frames; CPU = the receiving process's")
    print(f"  {'receiver':32s} {'paced: sent/s':>14s} {'lost':>7s} {'CPU s':>6s}"
          f" {'unpaced: sent/s':>16s} {'lost':>7s} {'CPU s':>6s}")
    for name, run in RECEIVERS:
        paced_rate, paced_got, paced_cpu = measured(run, RATE)
        fast_rate, fast_got, fast_cpu = measured(run, 0)
        print(f"  {name:32s} {paced_rate:14.0f} {N - paced_got:7d} {paced_cpu:6.2f}"
              f" {fast_rate:16.0f} {N - fast_got:7d} {fast_cpu:6.2f}", flush=True)


if __name__ == "__main__":
    main()
