"""varnex-sim: simulated motor drivers on a CAN interface, answering a varnex.Motor group.

    varnex-sim [--interface vcan0] [--host 0x100] [--node 0x201[:SLOT[:MODE]]] ... [--duration S]
               [--start-after S] [--silent-after S] [--drop F] [--wrong-length F] [--delay MS]
               [--seed N]

Runs until SIGINT or SIGTERM (or --duration). SIGUSR1 switches the answers off and on.
Once it listens it prints one line to wait for:

    varnex-sim: ready on vcan0 (nodes 0x201:0:speed, 0x202:1:speed)

and whenever a configuration frame switches a driver's mode, "varnex-sim: node 0x201 mode
position (was speed)".
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from types import FrameType
from typing import Optional, Sequence

from . import DEFAULT_HOST_ID, DEFAULT_NODES, Faults, SimulatedDriver, Simulator, parse_node


def _fraction(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a fraction from 0 to 1, got {text}")
    return value


def _non_negative(text: str) -> float:
    value = float(text)
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"expected a number of at least 0, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    defaults = ", ".join(f"0x{node:X}:{slot}" for node, slot in DEFAULT_NODES)
    parser = argparse.ArgumentParser(
        prog="varnex-sim",
        description="Simulated motor drivers: answer a varnex.Motor group's target frames with "
                    "feedback frames on their node ids, over a raw CAN socket.",
        epilog="SIGINT or SIGTERM ends it; SIGUSR1 switches the answers off and on.")
    parser.add_argument("-i", "--interface", default="vcan0", help="CAN interface (default: vcan0)")
    parser.add_argument("--host", type=lambda s: int(s, 0), default=DEFAULT_HOST_ID,
                        help="host id the group sends on (default: 0x100)")
    parser.add_argument("--node", action="append", default=[], metavar="NODE[:SLOT[:MODE]]",
                        help="a driver: node id, its slot 0-3 (default: its position in the list) "
                             f"and its starting mode (default: speed); repeatable (default: {defaults})")
    parser.add_argument("--duration", type=_non_negative, metavar="S", help="exit after S seconds")
    parser.add_argument("--start-after", type=_non_negative, default=0.0, metavar="S",
                        help="wait S seconds before listening, like drivers that power up after "
                             "the host (they miss its setup and start in their own mode)")
    parser.add_argument("--silent-after", type=_non_negative, metavar="S",
                        help="stop answering S seconds after the start (frames are still heard)")
    parser.add_argument("--drop", type=_fraction, default=0.0, metavar="F",
                        help="fraction of answers not sent")
    parser.add_argument("--wrong-length", type=_fraction, default=0.0, metavar="F",
                        help="fraction of answers sent with 7 data bytes instead of 8")
    parser.add_argument("--delay", type=_non_negative, default=0.0, metavar="MS",
                        help="milliseconds between a target frame and its answers")
    parser.add_argument("--seed", type=int, help="seed for the fault draws (default: random)")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        drivers = [parse_node(text, i) for i, text in enumerate(args.node)] or None
    except ValueError as e:
        print(f"varnex-sim: {e}", file=sys.stderr)
        return 2
    faults = Faults(drop=args.drop, wrong_length=args.wrong_length, delay=args.delay / 1000.0, seed=args.seed)
    stop = threading.Event()

    def on_stop(signo: int, frame: Optional[FrameType]) -> None:
        stop.set()

    signal.signal(signal.SIGINT, on_stop)
    signal.signal(signal.SIGTERM, on_stop)
    if args.start_after > 0:
        print(f"varnex-sim: listening on {args.interface} in {args.start_after:g} s", flush=True)
        if stop.wait(args.start_after):
            return 0

    # The drivers answer from the moment the simulator exists, before its ready line is out: a
    # mode change in that instant waits for the line, so that stdout keeps its order, and the
    # lines name the modes the drivers started in, read before the simulator could change one.
    announced = threading.Event()
    drivers = drivers or [SimulatedDriver(node, slot) for node, slot in DEFAULT_NODES]
    nodes = ", ".join(f"node 0x{d.node_id:X} slot {d.slot} {d.mode}" for d in drivers)
    ready = ", ".join(f"0x{d.node_id:X}:{d.slot}:{d.mode}" for d in drivers)

    def on_mode_change(node_id: int, old: str, new: str) -> None:
        announced.wait()
        print(f"varnex-sim: node 0x{node_id:X} mode {new} (was {old})", flush=True)

    try:
        sim = Simulator(args.interface, args.host, drivers, faults=faults, silent_after=args.silent_after,
                        on_mode_change=on_mode_change)
    except OSError as e:
        print(f"varnex-sim: cannot open a raw CAN socket on {args.interface}: {e}", file=sys.stderr)
        return 1

    def on_toggle(signo: int, frame: Optional[FrameType]) -> None:
        sim.silent = not sim.silent
        print(f"varnex-sim: {'silent' if sim.silent else 'answering'}", flush=True)

    signal.signal(signal.SIGUSR1, on_toggle)
    print(f"varnex-sim: answering host 0x{args.host:X} on {args.interface}: {nodes}", flush=True)
    print(f"varnex-sim: ready on {args.interface} ({'nodes' if len(drivers) > 1 else 'node'} {ready})",
          flush=True)
    announced.set()
    with sim:
        stop.wait(args.duration)
    s = sim.stats
    print(f"varnex-sim: heard {s.heard} frames, {s.targets} target frames; sent {s.answers} answers "
          f"({s.dropped} dropped, {s.wrong_length} with wrong length)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
