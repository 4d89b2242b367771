"""Motor commands that do not wait for Python: a fixed-rate broadcast with a deadman watchdog.

    varnex-sim --interface vcan0 > sim.log &        # simulated drivers 0x201 and 0x202
    until grep -q '^varnex-sim: ready' sim.log; do sleep 0.1; done
    python examples/broadcast_control.py --interface vcan0 --duration 3

or, with the simulated drivers inside this process: `python examples/broadcast_control.py --simulate`.

The group's target frame goes out --rate times a second from a thread of the module's own
(Motor.start_broadcast), while the main thread plans in pure Python, which would keep a timer
callback waiting for the GIL. In the middle of the run the planner hangs for --hang seconds
without setting a target: the watchdog makes the targets safe (speed 0), so the drivers are told
to stop instead of running on; when the planner is back, its next set_target resumes the commands. At the
end the broadcast stops with the safe frame as its last frame.
"""

from __future__ import annotations

import argparse
import math
import time
from contextlib import ExitStack

import varnex
import varnex_sim

HOST_ID = 0x100
LEFT_NODE, RIGHT_NODE = 0x201, 0x202


def plan(t: float) -> tuple[float, float]:
    """Targets for both motors (rad/s), made the slow way: a pure-Python computation."""
    wobble = sum(math.sin(t + i * 1e-3) for i in range(2000)) / 2000.0
    return 8.0 + wobble, -4.0 + wobble


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--interface", default="vcan0")
    parser.add_argument("--duration", type=float, default=3.0, help="seconds to run")
    parser.add_argument("--rate", type=float, default=200.0, help="broadcast rate in Hz")
    parser.add_argument("--watchdog", type=float, default=0.2, help="seconds without a set before the targets become safe")
    parser.add_argument("--hang", type=float, default=0.8, help="seconds the planner hangs in the middle")
    parser.add_argument("--simulate", action="store_true", help="run simulated drivers in this process")
    args = parser.parse_args()

    with ExitStack() as stack:
        if args.simulate:
            stack.enter_context(varnex_sim.Simulator(args.interface, HOST_ID))
        motor = stack.enter_context(varnex.Motor(args.interface, host=HOST_ID))
        left = motor.add_device(slot_index=0, node_id=LEFT_NODE, mode="speed")
        right = motor.add_device(slot_index=1, node_id=RIGHT_NODE, mode="speed")
        # Exits first (stopping the broadcast, safe frame last), then the Motor closes.
        handle = stack.enter_context(motor.start_broadcast(args.rate, watchdog=args.watchdog))

        start = time.monotonic()
        hang_from = start + (args.duration - args.hang) / 2.0
        hang_until = hang_from + args.hang
        before_hang = after_hang = 0.0
        while (now := time.monotonic()) - start < args.duration:
            if hang_from <= now < hang_until:
                before_hang = left.get_target()
                while time.monotonic() < hang_until:  # stuck: no target is set meanwhile
                    pass
                after_hang = left.get_target()  # made safe by the watchdog meanwhile
                continue
            left_target, right_target = plan(now - start)
            left.set_target(left_target)
            right.set_target(right_target)
        end_speeds = left.get_feedback()["speed"], right.get_feedback()["speed"]

    print(f"broadcast: {handle.tick_count()} frames, {handle.actual_frequency():.1f} Hz "
          f"(set {handle.frequency():g} Hz), {motor.broadcast_skipped} periods skipped")
    print(f"watchdog: {motor.watchdog_trips} trip(s); left target {before_hang:.1f} rad/s when the planner "
          f"hung, {after_hang:.1f} rad/s when it came back")
    print(f"end: left {end_speeds[0]:.1f} rad/s, right {end_speeds[1]:.1f} rad/s (feedback); targets after the "
          f"last frame: left {left.get_target():.1f}, right {right.get_target():.1f}")


if __name__ == "__main__":
    main()
