"""CAN bus monitor: counts the frames on one interface per CAN id and shows their rates.

    python examples/can_monitor.py --interface can0 --duration 10 --every 2

Every `--every` seconds, and once more at the end, it prints one line per CAN id seen so far:
the number of frames, their average rate over the run, and the last payload. Nothing is sent.
"""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass

import varnex


@dataclass
class IdStats:
    frames: int = 0
    last_data: bytes = b""


def report(stats: dict[int, IdStats], elapsed: float) -> None:
    print(f"--- {elapsed:.1f} s, {sum(s.frames for s in stats.values())} frames")
    for can_id in sorted(stats):
        s = stats[can_id]
        print(f"0x{can_id:X}\tframes={s.frames}\trate={s.frames / elapsed:.1f}/s\tlast={s.last_data.hex(' ')}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--interface", default="vcan0")
    parser.add_argument("--duration", type=float, default=10.0, help="seconds to listen")
    parser.add_argument("--every", type=float, default=1.0, help="seconds between reports")
    args = parser.parse_args()

    bus = varnex.CanDeviceNonBlocking(args.interface)
    print(f"listening on {bus.interface()}", flush=True)
    stats: dict[int, IdStats] = {}
    start = time.monotonic()
    next_report = start + args.every
    while (now := time.monotonic()) < start + args.duration:
        # A short wait keeps the reports on time on a quiet bus; on a busy one it returns at once.
        frame = bus.receive_timeout(100)
        if frame is not None:
            can_id, data = frame
            entry = stats.setdefault(can_id, IdStats())
            entry.frames += 1
            entry.last_data = data
        if now >= next_report:
            report(stats, now - start)
            next_report += args.every
    report(stats, time.monotonic() - start)


if __name__ == "__main__":
    main()
