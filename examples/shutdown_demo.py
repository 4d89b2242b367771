"""A timer and a background call, then a graceful shutdown on Ctrl+C or after a time limit.

    python examples/shutdown_demo.py [seconds]

A 50 Hz timer counts ticks while a slow background call computes; the main thread waits in
block_until with the interpreter lock released, so both keep running. Ctrl+C (or SIGTERM)
ends the wait early; either way everything is stopped and the timer's statistics are printed.
"""

import sys
import time

import varnex

LIMIT_S = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0


@varnex.timer(50.0)
def heartbeat():
    pass


@varnex.run_async
def slow_sum(n):
    time.sleep(0.5)  # stands in for slow work: a file write, a network call
    return sum(range(n))


def main():
    timer = heartbeat()
    job = slow_sum(1_000_000)
    print(f"running for up to {LIMIT_S:g} s; press Ctrl+C to stop earlier")

    reason, clean = varnex.block_until(wait_ms=int(LIMIT_S * 1000), shutdown_timeout_ms=2000)

    print(f"stopped: reason={reason}, clean={clean}")
    print(f"timer: {timer.tick_count()} ticks in {timer.elapsed_secs():.2f} s, "
          f"{timer.actual_frequency():.1f} Hz (set {timer.frequency():g} Hz), "
          f"running={timer.is_running()}")
    print(f"background call: {job!r}, result={job.wait(timeout_ms=5000)}")
    print(varnex.get_task_manager())


if __name__ == "__main__":
    main()
