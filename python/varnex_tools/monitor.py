"""`varnex monitor`: live per-id frame rates of one interface, and its bus state."""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass
from typing import Optional, Sequence, TextIO, Tuple

import varnex

from .errors import EXIT_OK, bus_state, open_device

# Clears a terminal and homes its cursor, so that each report replaces the last.
CLEAR_SCREEN = "\x1b[H\x1b[2J"

IdKey = Tuple[int, bool]  # (id, extended): 0x123 standard and 0x123 extended are two streams


@dataclass
class IdStats:
    frames: int = 0
    frames_at_report: int = 0
    last: str = ""


def frame_id_text(can_id: int, extended: bool) -> str:
    """The id as candump writes it: 3 hex digits standard, 8 extended."""
    return f"{can_id:08X}" if extended else f"{can_id:03X}"


def data_text(data: bytes, remote: bool) -> str:
    return f"R{len(data) or ''}" if remote else data.hex(" ").upper()


class Monitor:
    def __init__(self, interface: str, out: TextIO, in_place: bool) -> None:
        self.interface = interface
        self.out = out
        self.in_place = in_place
        self.stats: dict[IdKey, IdStats] = {}
        self.start = time.monotonic()
        self.last_report = self.start

    def count(self, frame: varnex.ReceivedFrame) -> None:
        entry = self.stats.setdefault((frame.id, frame.is_extended), IdStats())
        entry.frames += 1
        entry.last = data_text(frame.data, frame.is_remote)

    def report(self, state: Optional[str]) -> None:
        now = time.monotonic()
        interval = max(now - self.last_report, 1e-9)
        total = sum(s.frames for s in self.stats.values())
        fresh = sum(s.frames - s.frames_at_report for s in self.stats.values())
        header = f"{self.interface}: {now - self.start:.1f} s, {total} frames, {fresh / interval:.1f} frames/s"
        if state is not None:
            header += f", bus {state}"
        lines = [header, f"{'id':>8}  {'frames':>8}  {'rate/s':>8}  last data"]
        for key in sorted(self.stats, key=lambda k: (k[1], k[0])):
            s = self.stats[key]
            rate = (s.frames - s.frames_at_report) / interval
            lines.append(f"{frame_id_text(*key):>8}  {s.frames:>8}  {rate:>8.1f}  {s.last}")
            s.frames_at_report = s.frames
        self.last_report = now
        text = "\n".join(lines) + "\n"
        self.out.write(CLEAR_SCREEN + text if self.in_place else text + "\n")
        self.out.flush()


def run(interface: str, duration: Optional[float], every: float,
        filters: Optional[Sequence[varnex.CanFilter]]) -> int:
    with open_device(interface, filters) as bus:
        monitor = Monitor(interface, sys.stdout, sys.stdout.isatty())
        if not monitor.in_place:
            print(f"varnex monitor: listening on {interface}", flush=True)
        end = None if duration is None else monitor.start + duration
        next_report = monitor.start + every
        try:
            while end is None or time.monotonic() < end:
                now = time.monotonic()
                if now >= next_report:
                    monitor.report(bus_state(bus))
                    next_report += every
                    if next_report <= now:  # a late report starts the next period from now, no burst
                        next_report = now + every
                until = next_report if end is None else min(next_report, end)
                frame = bus.recv_frame(timeout=max(until - time.monotonic(), 0.0))
                if frame is not None:
                    monitor.count(frame)
        except KeyboardInterrupt:
            pass
        monitor.report(bus_state(bus))
    return EXIT_OK
