"""`varnex motor`: one driver of a group: its live feedback, and the DR v1 configuration commands."""

from __future__ import annotations

import struct
import sys
import time
from typing import Callable, Optional, cast

import varnex

from .errors import EXIT_NOT_CONFIRMED, EXIT_OK, CliError, interface_error, open_device, require_not_bus_off

# A driver's feedback frame: position as a float in rad, speed in 0.1 rad/s and current in
# 0.01 A as signed 16-bit counts, little-endian.
FEEDBACK = struct.Struct("<fhh")
CAN_SFF_MASK = 0x7FF
CAN_EFF_MASK = 0x1FFFFFFF

MODES = ("current", "speed", "position")


def confirm(question: str, yes: bool) -> None:
    """Asks on a terminal; off a terminal only --yes goes on, so a script never moves a motor by accident."""
    if yes:
        return
    if not sys.stdin.isatty():
        raise CliError(EXIT_NOT_CONFIRMED, f"{question}: refused without --yes (stdin is not a terminal)",
                       ["add --yes once the motor is free to move"])
    try:
        answer = input(f"{question}. Go on? [y/N] ")
    except EOFError:
        answer = ""
    if answer.strip().lower() not in ("y", "yes"):
        raise CliError(EXIT_NOT_CONFIRMED, "not confirmed; nothing was sent")


def feedback_line(node: int, data: bytes, frames: int, rate: float) -> str:
    if len(data) != FEEDBACK.size:
        return f"node 0x{node:X}: frame of {len(data)} bytes, not a feedback frame ({frames} frames, {rate:.1f}/s)"
    position, speed, current = FEEDBACK.unpack(data)
    return (f"node 0x{node:X}: position={position:.3f} rad speed={speed / 10.0:.1f} rad/s "
            f"current={current / 100.0:.2f} A ({frames} frames, {rate:.1f}/s)")


def show(interface: str, node: int, duration: Optional[float], every: float) -> int:
    """Listens to the driver's feedback frames without sending anything: safe beside a running program."""
    extended = node > CAN_SFF_MASK
    only_node: varnex.CanFilterDict = {"can_id": node, "can_mask": CAN_EFF_MASK if extended else CAN_SFF_MASK,
                                       "extended": extended}
    in_place = sys.stdout.isatty()
    with open_device(interface, [only_node]) as bus:
        if not in_place:
            print(f"varnex motor: listening to node 0x{node:X} on {interface}", flush=True)
        start = last_report = time.monotonic()
        end = None if duration is None else start + duration
        frames = frames_at_report = 0
        last: Optional[bytes] = None
        line = ""
        try:
            while end is None or time.monotonic() < end:
                frame = bus.recv_frame(timeout=every if end is None else max(min(every, end - time.monotonic()), 0.0))
                if frame is not None:
                    frames += 1
                    last = frame.data
                now = time.monotonic()
                if now - last_report < every:
                    continue
                rate = (frames - frames_at_report) / (now - last_report)
                frames_at_report, last_report = frames, now
                if frames and rate > 0 and last is not None:
                    line = feedback_line(node, last, frames, rate)
                else:
                    line = (f"node 0x{node:X}: no feedback for {every:g} s ({frames} frames so far; drivers "
                            "answer the group's target frames: is a program sending them?)")
                print("\r\x1b[K" + line if in_place else line, end="" if in_place else "\n", flush=True)
        except KeyboardInterrupt:
            pass
        if in_place:
            print(flush=True)
        print(f"varnex motor: {frames} feedback frames from node 0x{node:X} in {time.monotonic() - start:.1f} s",
              flush=True)
    return EXIT_OK


def configure(interface: str, host: int, node: int, slot: int, mode: str,
              steps: Callable[[varnex.Device], None], done: str) -> int:
    """Adds the driver to a group (its setup: open session, set `mode`, end session), runs `steps`
    on its Device, and closes the group, which writes every queued frame before it returns. DR v1
    has no answers: `done` says what was sent, not what the driver did."""
    try:
        group = varnex.Motor(interface, host=host)
    except OSError as e:
        raise interface_error(interface, e) from e
    with group:
        require_not_bus_off(group, interface)
        try:
            device = group.add_device(slot_index=slot, node_id=node, mode=cast("varnex.FocModeName", mode))
            steps(device)
        except OSError as e:
            raise interface_error(interface, e) from e
    print(f"varnex motor: {done}", flush=True)
    return EXIT_OK
