"""The `varnex` command (also `python -m varnex_tools`): monitor, record, replay, motor, sim."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Optional, Sequence

import varnex

from . import __doc__ as package_doc
from . import logs, monitor, motor
from .errors import EXIT_INTERRUPTED, CliError, report

EXIT_CODES = package_doc.split("Exit codes, for scripts:", 1)[1].strip("\n") if package_doc else ""


def _can_id(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a CAN id such as 0x201, got {text!r}") from None
    if not 0 <= value <= 0x1FFFFFFF:
        raise argparse.ArgumentTypeError(f"a CAN id is 0 to 0x1FFFFFFF, got {text}")
    return value


def _filter(text: str) -> tuple[int, int]:
    """ID:MASK in hex, as candump takes them: 200:7F0 passes 0x200 to 0x20F."""
    parts = text.split(":")
    try:
        if len(parts) != 2:
            raise ValueError
        return int(parts[0], 16), int(parts[1], 16)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected ID:MASK in hex (200:7F0), got {text!r}") from None


def _positive(text: str, expected: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
    return value


def _seconds(text: str) -> float:
    return _positive(text, "a positive number of seconds")


def _speed(text: str) -> float:
    return _positive(text, "a positive factor (2 is twice as fast)")


def _slot(text: str) -> int:
    if text not in ("0", "1", "2", "3"):
        raise argparse.ArgumentTypeError(f"a slot is 0, 1, 2 or 3, got {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="varnex", description="A CAN bus and the motor drivers on it, from the command line.",
        epilog="exit codes:\n" + EXIT_CODES, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    filters = argparse.ArgumentParser(add_help=False)
    filters.add_argument("--filter", type=_filter, action="append", metavar="ID:MASK",
                         help="receive only frames with id & MASK == ID & MASK (hex; repeatable: a frame "
                              "passes if any filter passes it); applied by the kernel")

    def add(name: str, help: str, description: str, with_filters: bool = False) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help, description=description, epilog="exit codes:\n" + EXIT_CODES,
                                   formatter_class=argparse.RawDescriptionHelpFormatter,
                                   parents=[filters] if with_filters else [])

    p = add("monitor", "live frame rates per CAN id, and the bus state",
            "Count the frames on IFACE per CAN id and show their rates, refreshed in place on a terminal "
            "and as plain reports otherwise. Nothing is sent. Ctrl+C ends it.", with_filters=True)
    p.add_argument("interface", metavar="IFACE")
    p.add_argument("--duration", type=_seconds, metavar="S", help="stop after S seconds (default: Ctrl+C)")
    p.add_argument("--every", type=_seconds, default=1.0, metavar="S", help="seconds between reports (default: 1)")

    p = add("record", "record the bus to a candump log",
            "Write every frame IFACE receives to FILE in the candump log format (created, or emptied). "
            "Ctrl+C stops cleanly: every frame received is written, and the count is printed.", with_filters=True)
    p.add_argument("interface", metavar="IFACE")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--duration", type=_seconds, metavar="S", help="stop after S seconds (default: Ctrl+C)")

    p = add("replay", "send a candump log onto an interface, keeping its gaps",
            "Send the frames of FILE (candump log format) onto IFACE with their recorded gaps, whatever "
            "interface the log names. Error frames are not sent.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("interface", metavar="IFACE")
    p.add_argument("--speed", type=_speed, default=1.0, metavar="X", help="X times faster (default: 1)")
    p.add_argument("--loop", action="store_true", help="start again at the end, until Ctrl+C")

    p = add("motor", "one motor driver: live feedback, control mode, calibration, configuration",
            "Act on the driver NODE of the group that host ID drives on IFACE. `show` only listens; the "
            "other actions add the driver to a group, which sends its setup (open a configuration "
            "session, set its mode, end the session), then their own frames. set-mode and calibrate can "
            "move a motor: they ask first on a terminal and need --yes otherwise.")
    p.add_argument("interface", metavar="IFACE")
    p.add_argument("--host", type=_can_id, required=True, metavar="ID", help="the group's host CAN id (0x100)")
    p.add_argument("--node", type=_can_id, required=True, metavar="ID",
                   help="the driver's node id, the CAN id of its feedback (0x201)")
    p.add_argument("--slot", type=_slot, default=0, metavar="N",
                   help="the driver's slot 0-3 in the group's target frame (default: 0)")
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    a = actions.add_parser("show", help="print the driver's feedback as it comes (sends nothing)",
                           description="Print the driver's latest feedback every --every seconds. Sends "
                                       "nothing: drivers answer the target frames of the program that drives them.")
    a.add_argument("--duration", type=_seconds, metavar="S", help="stop after S seconds (default: Ctrl+C)")
    a.add_argument("--every", type=_seconds, default=0.5, metavar="S", help="seconds between lines (default: 0.5)")
    a = actions.add_parser("set-mode", help="switch the driver to a control mode (can move the motor)",
                           description="Open a configuration session, set the control mode, end the session.")
    a.add_argument("mode", choices=motor.MODES, metavar="MODE", help="current, speed or position")
    a.add_argument("--yes", action="store_true", help="do not ask (needed off a terminal)")
    mode_help = "the mode the driver runs in: its setup sends it (required, so that no mode changes by accident)"
    a = actions.add_parser("calibrate", help="find the encoder's electrical zero (moves the motor)",
                           description="Open a configuration session, ask for the encoder's electrical zero "
                                       "(then wait 200 ms), end the session.")
    a.add_argument("--mode", choices=motor.MODES, required=True, help=mode_help)
    a.add_argument("--yes", action="store_true", help="do not ask (needed off a terminal)")
    a = actions.add_parser("enter-configure", help="open a configuration session on the driver",
                           description="Open a configuration session on the driver and leave it open.")
    a.add_argument("--mode", choices=motor.MODES, required=True, help=mode_help)
    a = actions.add_parser("exit-configure", help="end the driver's configuration session",
                           description="End the driver's configuration session without changing its running state.")
    a.add_argument("--mode", choices=motor.MODES, required=True, help=mode_help)

    # Listed here for --help; main() hands its arguments to varnex-sim whole.
    add("sim", "simulated motor drivers (varnex-sim; `varnex sim --help` for its options)",
        "The simulator: the same as varnex-sim with the same arguments.")
    return parser


def run(args: argparse.Namespace) -> int:
    if args.command == "monitor":
        return monitor.run(args.interface, args.duration, args.every, args.filter)
    if args.command == "record":
        return logs.record(args.interface, args.file, args.duration, args.filter)
    if args.command == "replay":
        return logs.replay(args.file, args.interface, args.speed, args.loop)
    node, where = f"0x{args.node:X}", f"on {args.interface} (host 0x{args.host:X})"
    if args.action == "show":
        return motor.show(args.interface, args.node, args.duration, args.every)
    if args.action == "set-mode":
        motor.confirm(f"switch driver {node} {where} to {args.mode} mode; the motor may move", args.yes)
        return motor.configure(args.interface, args.host, args.node, args.slot, args.mode,
                               lambda device: None, f"sent to driver {node}: set mode {args.mode}")
    if args.action == "calibrate":
        motor.confirm(f"calibrate driver {node} {where}; the motor will move", args.yes)

        def calibrate(device: varnex.Device) -> None:
            device.enter_configure()
            device.start_calibration()
            device.exit_configure()

        return motor.configure(args.interface, args.host, args.node, args.slot, args.mode, calibrate,
                               f"sent to driver {node}: encoder zero")
    if args.action == "enter-configure":
        return motor.configure(args.interface, args.host, args.node, args.slot, args.mode,
                               lambda device: device.enter_configure(),
                               f"sent to driver {node}: open configuration session")
    return motor.configure(args.interface, args.host, args.node, args.slot, args.mode,
                           lambda device: device.exit_configure(), f"sent to driver {node}: end configuration session")


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["sim"]:
        from varnex_sim.__main__ import main as sim_main

        return sim_main(argv[1:])
    args = build_parser().parse_args(argv)
    prog = f"varnex {args.command}"
    try:
        return run(args)
    except CliError as e:
        return report(prog, e)
    except KeyboardInterrupt:
        # Ctrl+C while a device was being opened (or a prompt answered).
        print(file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
