"""Bridge between two CAN interfaces: every frame heard on one is sent on the other.

    python examples/can_bridge.py --interface vcan0 --other vcan1 --duration 60

With `--echo` it answers on the same interface instead, with the CAN id plus `--echo-offset`
(a quick way to see that a node and its wiring work). At the end it prints what it forwarded.
"""

from __future__ import annotations

import argparse
import time

import varnex


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--interface", default="vcan0")
    parser.add_argument("--other", default="vcan1", help="the second interface (not used with --echo)")
    parser.add_argument("--duration", type=float, default=10.0, help="seconds to run")
    parser.add_argument("--echo", action="store_true", help="answer on the same interface")
    parser.add_argument("--echo-offset", type=lambda s: int(s, 0), default=0x1, help="added to echoed ids")
    args = parser.parse_args()

    first = varnex.CanDeviceNonBlocking(args.interface)
    if args.echo:
        # A raw socket does not hear its own frames, so echoing on one device cannot loop.
        routes = [(first, first, args.echo_offset)]
        print(f"echoing on {args.interface} with id offset 0x{args.echo_offset:X}", flush=True)
    else:
        second = varnex.CanDeviceNonBlocking(args.other)
        routes = [(first, second, 0), (second, first, 0)]
        print(f"bridging {args.interface} <-> {args.other}", flush=True)

    forwarded = [0] * len(routes)
    end = time.monotonic() + args.duration
    while time.monotonic() < end:
        # One device cannot wait on two queues at once, so each side gets a 2 ms wait in turn:
        # idle, the loop wakes 250 times a second; busy, queued frames come back without waiting.
        for i, (source, target, offset) in enumerate(routes):
            frame = source.receive_timeout(2)
            if frame is not None:
                can_id, data = frame
                target.send(can_id + offset, data)
                forwarded[i] += 1
    for (source, target, _offset), count in zip(routes, forwarded):
        print(f"{source.interface()} -> {target.interface()}: {count} frames")


if __name__ == "__main__":
    main()
