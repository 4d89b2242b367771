"""Motor control loop: a precision timer drives two motor drivers of one group.

    varnex-sim --interface vcan0 > sim.log &        # simulated drivers 0x201 and 0x202
    until grep -q '^varnex-sim: ready' sim.log; do sleep 0.1; done
    python examples/motor_demo.py --interface vcan0 --duration 3

or, with the simulated drivers inside this process: `python examples/motor_demo.py --simulate`.

The left driver runs in speed mode toward 10 rad/s; the right one in position mode follows a
slow sine. Each tick of the 100 Hz loop sets both targets, sends them in one broadcast frame and
reads the latest feedback. The main thread waits in block_until (Ctrl+C ends it early), then
prints how the loop kept time and where the motors ended.
"""

from __future__ import annotations

import argparse
import math
import time
from contextlib import ExitStack
from dataclasses import dataclass

import varnex
import varnex_sim

HOST_ID = 0x100
LEFT_NODE, RIGHT_NODE = 0x201, 0x202
LEFT_SPEED = 10.0  # rad/s
RIGHT_AMPLITUDE, RIGHT_HZ = 1.0, 0.5  # rad, Hz


@dataclass
class Loop:
    motor: varnex.Motor
    left: varnex.Device
    right: varnex.Device
    start: float
    worst_error: float = 0.0  # largest |target - position| of the right motor after the first second


def control_step(loop: Loop) -> None:
    t = time.monotonic() - loop.start
    target = RIGHT_AMPLITUDE * math.sin(2.0 * math.pi * RIGHT_HZ * t)
    loop.left.set_target(LEFT_SPEED)
    loop.right.set_target(target)
    loop.motor.broadcast()
    position = loop.right.get_feedback()["position"]
    if t > 1.0:
        loop.worst_error = max(loop.worst_error, abs(target - position))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--interface", default="vcan0")
    parser.add_argument("--duration", type=float, default=3.0, help="seconds to run")
    parser.add_argument("--rate", type=float, default=100.0, help="loop rate in Hz")
    parser.add_argument("--simulate", action="store_true", help="run simulated drivers in this process")
    args = parser.parse_args()

    with ExitStack() as stack:
        if args.simulate:
            stack.enter_context(varnex_sim.Simulator(args.interface, HOST_ID))
        motor = varnex.Motor(args.interface, host=HOST_ID)
        left = motor.add_device(slot_index=0, node_id=LEFT_NODE, mode="speed")
        right = motor.add_device(slot_index=1, node_id=RIGHT_NODE, mode="position")
        print(motor, left, right, sep="\n", flush=True)

        loop = Loop(motor, left, right, start=time.monotonic())
        handle = varnex.precision_timer(args.rate)(control_step)(loop)
        reason, clean = varnex.block_until(wait_ms=int(args.duration * 1000), shutdown_timeout_ms=2000)

    print(f"stopped: {reason}, clean={clean}")
    print(f"loop: {handle.tick_count()} ticks, {handle.actual_frequency():.1f} Hz (set {handle.frequency():g} Hz)")
    for name, device in (("left", left), ("right", right)):
        fb = device.get_feedback()
        print(f"{name}: position={fb['position']:.2f} rad speed={fb['speed']:.1f} rad/s current={fb['current']:.2f} A")
    print(f"right: worst tracking error {loop.worst_error:.3f} rad")


if __name__ == "__main__":
    main()
