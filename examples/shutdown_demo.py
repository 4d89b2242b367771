"""Graceful shutdown: a timer and a background call, stopped cleanly on SIGTERM or Ctrl+C.

    python examples/shutdown_demo.py --duration 30 &
    kill -TERM $!                      # or run it in the foreground and press Ctrl+C

A 50 Hz timer counts ticks while a slow background call computes. The main thread waits in
block_until with the interpreter lock released, so both keep running. SIGTERM (as sent by
systemd, docker stop or kill) or SIGINT ends the wait early, and so does the time limit
(`--duration`; without it only a signal ends the wait). Either way every timer is
stopped, the program waits for them to finish, and prints what ran.
"""

from __future__ import annotations

import argparse
import time

import varnex


@varnex.timer(50.0)
def heartbeat() -> None:
    pass  # the control work of a real program


@varnex.run_async
def slow_sum(n: int) -> int:
    time.sleep(0.5)  # stands in for slow work: a file write, a network call
    return sum(range(n))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=float, help="seconds before stopping by itself (default: wait for a signal)")
    args = parser.parse_args()

    timer = heartbeat()
    job = slow_sum(1_000_000)
    wait_ms = None if args.duration is None else int(args.duration * 1000)
    reason, clean = varnex.block_until(wait_ms=wait_ms, shutdown_timeout_ms=2000)

    print(f"stopped: reason={reason}, clean={clean}")
    print(f"timer: {timer.tick_count()} ticks in {timer.elapsed_secs():.2f} s, "
          f"{timer.actual_frequency():.1f} Hz (set {timer.frequency():g} Hz), running={timer.is_running()}")
    print(f"background call: result={job.wait(timeout_ms=5000)}")
    print(varnex.get_task_manager())


if __name__ == "__main__":
    main()
