"""Feedback logger: follows a position trajectory, logs every tick to CSV and plots it as PNG.

    python examples/feedback_plot.py --interface vcan0 --duration 4 --csv run.csv --png run.png
    python examples/feedback_plot.py --simulate        # simulated driver inside this process

A 100 Hz timer moves one driver (node 0x201, slot 0, position mode) along a step-and-sine
trajectory and records time, target and the feedback (position, speed, current). The rows go
to a CSV file; the plot of target against position needs matplotlib (pip install matplotlib),
and without it only the CSV is written.
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import math
import threading
import time
from contextlib import ExitStack
from typing import NamedTuple

import varnex
import varnex_sim

HOST_ID, NODE_ID = 0x100, 0x201
PLOT_SIZE_IN, PLOT_DPI = (8.0, 4.0), 100  # 800 x 400 pixels


class Row(NamedTuple):
    t: float
    target: float
    position: float
    speed: float
    current: float


def trajectory(t: float) -> float:
    """A step to 1 rad at 0.5 s, then a 1 Hz sine around it from 2 s on."""
    if t < 0.5:
        return 0.0
    if t < 2.0:
        return 1.0
    return 1.0 + 0.5 * math.sin(2.0 * math.pi * (t - 2.0))


class Logger:
    def __init__(self, motor: varnex.Motor, device: varnex.Device) -> None:
        self.motor = motor
        self.device = device
        self.rows: list[Row] = []
        self.lock = threading.Lock()
        self.start = time.monotonic()

    def tick(self) -> None:
        t = time.monotonic() - self.start
        target = trajectory(t)
        self.device.set_target(target)
        self.motor.broadcast()
        fb = self.device.get_feedback()
        with self.lock:
            self.rows.append(Row(t, target, fb["position"], fb["speed"], fb["current"]))


def write_csv(path: str, rows: list[Row]) -> None:
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(Row._fields)
        out.writerows((f"{r.t:.4f}", f"{r.target:.4f}", f"{r.position:.4f}", f"{r.speed:.2f}", f"{r.current:.2f}")
                      for r in rows)


def plot(path: str, rows: list[Row]) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=PLOT_SIZE_IN, dpi=PLOT_DPI)
    ax.plot([r.t for r in rows], [r.target for r in rows], label="target (rad)")
    ax.plot([r.t for r in rows], [r.position for r in rows], label="position (rad)")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("rad")
    ax.set_title(f"node 0x{NODE_ID:X}, position mode")
    ax.legend()
    ax.grid(True)
    fig.savefig(path, dpi=PLOT_DPI)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--interface", default="vcan0")
    parser.add_argument("--duration", type=float, default=4.0, help="seconds to run")
    parser.add_argument("--rate", type=float, default=100.0, help="log rate in Hz")
    parser.add_argument("--csv", default="feedback.csv", help="CSV file to write")
    parser.add_argument("--png", default="feedback.png", help="PNG file to write (needs matplotlib)")
    parser.add_argument("--simulate", action="store_true", help="run a simulated driver in this process")
    args = parser.parse_args()

    with ExitStack() as stack:
        if args.simulate:
            stack.enter_context(varnex_sim.Simulator(
                args.interface, HOST_ID, [varnex_sim.SimulatedDriver(NODE_ID, slot=0, mode="position")]))
        motor = varnex.Motor(args.interface, host=HOST_ID)
        logger = Logger(motor, motor.add_device(slot_index=0, node_id=NODE_ID, mode="position"))
        handle = varnex.timer(args.rate)(logger.tick)()
        time.sleep(args.duration)
        handle.stop()
        with logger.lock:
            rows = list(logger.rows)

    write_csv(args.csv, rows)
    print(f"wrote {len(rows)} rows to {args.csv}")
    if importlib.util.find_spec("matplotlib") is None:
        print("matplotlib is not installed: no plot")
        return
    plot(args.png, rows)
    width, height = (round(v * PLOT_DPI) for v in PLOT_SIZE_IN)
    print(f"wrote {width}x{height} plot to {args.png}")


if __name__ == "__main__":
    main()
