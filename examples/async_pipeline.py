"""Background pipeline: acquire the next batch while the current one is analysed.

    python examples/async_pipeline.py --batches 5 --duration 0.2

Acquisition (slow I/O in a real program: a camera, a file, a network call) and analysis both run
as background calls with run_async. While batch k is analysed, batch k+1 is being acquired, so
the stages overlap. A stage that raises surfaces as RuntimeError from wait(); the pipeline
reports it and goes on (`--fail-at K` makes acquisition of batch K fail).
"""

from __future__ import annotations

import argparse
import random
import statistics
import time
from typing import NamedTuple, Optional

import varnex


class Summary(NamedTuple):
    batch: int
    samples: int
    mean: float
    peak: float


@varnex.run_async
def acquire(batch: int, samples: int, seconds: float, fail_at: Optional[int]) -> list[float]:
    time.sleep(seconds)  # stands in for waiting on a device
    if batch == fail_at:
        raise OSError(f"sensor did not answer for batch {batch}")
    rng = random.Random(batch)
    return [rng.gauss(batch, 1.0) for _ in range(samples)]


@varnex.run_async
def analyse(batch: int, values: list[float]) -> Summary:
    return Summary(batch, len(values), statistics.fmean(values), max(values))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--batches", type=int, default=5)
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--duration", type=float, default=0.2, help="seconds one acquisition takes")
    parser.add_argument("--fail-at", type=int, help="make acquisition of this batch fail")
    args = parser.parse_args()

    start = time.monotonic()
    pending = acquire(0, args.samples, args.duration, args.fail_at)
    for batch in range(args.batches):
        current = pending
        if batch + 1 < args.batches:
            pending = acquire(batch + 1, args.samples, args.duration, args.fail_at)
        try:
            values = current.wait(timeout_ms=10_000)
        except RuntimeError as e:
            print(f"batch {batch}: failed: {e}")
            continue
        summary = analyse(batch, values).wait(timeout_ms=10_000) if values is not None else None
        if summary is None:
            print(f"batch {batch}: cancelled")  # wait() gives None for a cancelled call
            continue
        print(f"batch {summary.batch}: {summary.samples} samples, mean={summary.mean:.2f}, peak={summary.peak:.2f}")
    print(f"{args.batches} batches in {time.monotonic() - start:.2f} s "
          f"({args.batches * args.duration:.2f} s of acquisition)")


if __name__ == "__main__":
    main()
