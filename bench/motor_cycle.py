"""Cost of one control cycle from Python: varnex's Motor against python-can + struct, on one vcan.

Run in the CAN test VM (or directly on a kernel with vcan0 up, as root):

    PYTHONPATH=build/<dir> tools/can-vm run -- /work/main/.venv/bin/python bench/motor_cycle.py

python-can (a benchmark-only peer, installed by tools/setup-env) must be in the venv.

One cycle is what a control loop does per tick for a group of four drivers:
4 x set_target, one broadcast of the 8-byte target frame, 4 x get_feedback.

The python-can version is built the way one would write the same group with it: targets kept
in a list, the frame packed with struct and sent with Bus.send, feedback frames decoded by a
can.Notifier listener thread into per-driver dicts under a lock, get_feedback returning a copy.

Rounds, each run once for both implementations in this one process:
- back to back: N cycles in a tight loop on a quiet bus (only our own frames); mean per cycle.
- paced: cycles at RATE Hz for PACED_SECONDS while a simulated driver process answers every
  target frame with one feedback frame per driver (so feedback is being decoded meanwhile);
  the time spent inside each cycle, mean and p99 (on a busy 2-CPU guest, p99 is mostly the
  calling thread being preempted).
"""

import os
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import varnex  # noqa: E402

import can  # noqa: E402  python-can

N = int(os.environ.get("BENCH_CYCLES", "20000"))
RATE = float(os.environ.get("BENCH_RATE_HZ", "500"))
PACED_SECONDS = float(os.environ.get("BENCH_PACED_SECONDS", "3"))
BUS = "vcan0"
HOST = 0x100
NODES = (0x201, 0x202, 0x203, 0x204)
TARGETS = (10.0, -5.0, 2.5, 0.0)

DRIVER = f"""
import struct, sys
sys.path.insert(0, {os.path.join(HERE, '..', 'tests', 'python')!r})
from can_support import CanPeer
with CanPeer({BUS!r}) as peer:
    print('ready', flush=True)
    k = 0
    while True:
        got = peer.recv(5.0)
        if got is None:
            break
        if got[1] == {HOST} and len(got[4]) == 8:
            k += 1
            for node in {NODES!r}:
                peer.send(node, struct.pack('<fhh', k * 0.001, k & 0x7FFF, -(k & 0x7FFF)))
"""


# ---- the same group written with python-can ----

class PyCanGroup:
    FEEDBACK = struct.Struct("<fhh")
    FRAME = struct.Struct("<4h")

    def __init__(self, channel, host, nodes):
        self.bus = can.Bus(interface="socketcan", channel=channel)
        self.host = host
        self.nodes = nodes
        self.targets = [0.0] * len(nodes)
        self.scale = [10.0] * len(nodes)  # speed mode
        self.lock = threading.Lock()
        self.feedback = {node: {"position": 0.0, "speed": 0.0, "current": 0.0} for node in nodes}
        self.notifier = can.Notifier(self.bus, [self.on_message])

    def on_message(self, msg):
        if msg.arbitration_id in self.feedback and msg.dlc == 8:
            p, s, c = self.FEEDBACK.unpack(msg.data)
            with self.lock:
                self.feedback[msg.arbitration_id] = {"position": p, "speed": s / 10.0, "current": c / 100.0}

    def set_target(self, slot, value):
        self.targets[slot] = value

    def broadcast(self):
        wire = []
        for value, scale in zip(self.targets, self.scale):
            p = value * scale
            wire.append(0 if p != p else int(max(-32768.0, min(32767.0, p))))
        self.bus.send(can.Message(arbitration_id=self.host, data=self.FRAME.pack(*wire),
                                  is_extended_id=self.host > 0x7FF))

    def get_feedback(self, slot):
        with self.lock:
            return dict(self.feedback[self.nodes[slot]])

    def close(self):
        self.notifier.stop()
        self.bus.shutdown()


def varnex_cycle():
    motor = varnex.Motor(BUS, HOST)
    devices = [motor.add_device(slot, node, "speed") for slot, node in enumerate(NODES)]
    set_targets = [d.set_target for d in devices]
    feedbacks = [d.get_feedback for d in devices]
    t0, t1, t2, t3 = TARGETS

    def cycle():
        set_targets[0](t0)
        set_targets[1](t1)
        set_targets[2](t2)
        set_targets[3](t3)
        motor.broadcast()
        return feedbacks[0](), feedbacks[1](), feedbacks[2](), feedbacks[3]()

    return cycle, lambda: None


def python_can_cycle():
    group = PyCanGroup(BUS, HOST, NODES)
    t0, t1, t2, t3 = TARGETS
    set_target, get_feedback = group.set_target, group.get_feedback

    def cycle():
        set_target(0, t0)
        set_target(1, t1)
        set_target(2, t2)
        set_target(3, t3)
        group.broadcast()
        return get_feedback(0), get_feedback(1), get_feedback(2), get_feedback(3)

    return cycle, group.close


IMPLEMENTATIONS = [("varnex Motor", varnex_cycle), ("python-can + struct", python_can_cycle)]


def back_to_back(make):
    cycle, close = make()
    for _ in range(min(1000, N)):  # warm up
        cycle()
    start = time.perf_counter()
    for _ in range(N):
        cycle()
    elapsed = time.perf_counter() - start
    time.sleep(0.5)  # let queued frames reach the bus before the next round
    close()
    return elapsed / N


def paced(make):
    driver = subprocess.Popen([sys.executable, "-c", DRIVER], stdout=subprocess.PIPE, text=True)
    try:
        assert driver.stdout.readline().strip() == "ready"
        cycle, close = make()
        # Answers arrive: feedback is live before timing starts.
        deadline = time.monotonic() + 10.0
        while cycle()[3]["position"] == 0.0:
            assert time.monotonic() < deadline, "the simulated driver never answered"
            time.sleep(0.01)
        period = 1.0 / RATE
        costs = []
        next_tick = time.perf_counter()
        end = next_tick + PACED_SECONDS
        while next_tick < end:
            start = time.perf_counter()
            cycle()
            costs.append(time.perf_counter() - start)
            next_tick += period
            delay = next_tick - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
        close()
    finally:
        driver.kill()
        driver.wait()
    costs.sort()
    return statistics.mean(costs), costs[int(0.99 * (len(costs) - 1))], len(costs)


def main():
    print(f"python {sys.version.split()[0]}, python-can {can.__version__}; "
          f"{N} back-to-back cycles, paced {RATE:g} Hz for {PACED_SECONDS:g} s")
    print()
    print("back to back, quiet bus (microseconds per cycle)")
    tight = {name: back_to_back(make) for name, make in IMPLEMENTATIONS}
    for name, cost in tight.items():
        print(f"  {name:24s} {cost * 1e6:9.1f}")
    ratio = tight["python-can + struct"] / tight["varnex Motor"]
    print(f"  varnex is {ratio:.1f}x faster")
    print()
    print("paced, driver answering every broadcast (microseconds inside one cycle)")
    print(f"  {'':24s} {'mean':>9s} {'p99':>9s} {'cycles':>8s}")
    loaded = {}
    for name, make in IMPLEMENTATIONS:
        mean, p99, count = paced(make)
        loaded[name] = mean
        print(f"  {name:24s} {mean * 1e6:9.1f} {p99 * 1e6:9.1f} {count:8d}")
    print(f"  varnex is {loaded['python-can + struct'] / loaded['varnex Motor']:.1f}x faster (mean)")


if __name__ == "__main__":
    main()
