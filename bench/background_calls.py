"""Background calls and shutdown waits: costs and latencies.

    PYTHONPATH=build/<dir> .venv/bin/python bench/background_calls.py [--exit-runs N]

What is measured:
- start: the cost of calling a RunAsync object (the call returns its handle at once).
- round trip: start a trivial call and wait() for it, beside the anchor a user would pick
  instead: concurrent.futures.ThreadPoolExecutor's submit(f).result().
- wake-up: how long after the function returned wait() returns, and how long after the last
  call ended TaskManager.wait_all() returns.
- calls per second with 1 and 4 caller threads (each starts a call and waits for it, in a
  loop), beside ThreadPoolExecutor with the same callers.
- throughput: N calls started back to back, then all waited for.
- timer under load: a 100 Hz normal timer's actual rate over 2 s, alone and while
  os.cpu_count() + 2 slow background calls run (they occupy the blocking pool, not the workers).
- block_until(wait_ms=100): how long it really takes (child processes: it stops everything).
- signal to return: SIGTERM sent to a child in block_all() until block_all has returned.
- exit safety: --exit-runs N children exit while background calls run and another thread waits
  in block_until; counts the runs that ended with the chosen status (the pytest equivalent is
  tests/python/test_shutdown_exit.py, whose 50-fold run is marked slow).
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import varnex  # noqa: E402
from shutdown_support import run_child, start_child  # noqa: E402

SLOW_CALLS = (os.cpu_count() or 1) + 2


def percentile(samples, p):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p))]


def show(name, samples, unit="us", scale=1e6):
    mean = sum(samples) / len(samples)
    print(f"{name:<38} p50 {percentile(samples, 0.5) * scale:9.1f} {unit}   "
          f"p99 {percentile(samples, 0.99) * scale:9.1f} {unit}   mean {mean * scale:9.1f} {unit}   "
          f"(n={len(samples)})")


def bench_start_and_round_trip(n=2000):
    noop = varnex.run_async(lambda: None)
    starts, trips, handles = [], [], []
    for _ in range(n):
        t0 = time.perf_counter()
        h = noop()
        starts.append(time.perf_counter() - t0)
        handles.append(h)
    for h in handles:
        h.wait()
    handles.clear()
    for _ in range(n // 4):
        t0 = time.perf_counter()
        noop().wait()
        trips.append(time.perf_counter() - t0)
    show("start (RunAsync call)", starts)
    show("round trip (start + wait)", trips)


def bench_against_thread_pool(n=2000):
    from concurrent.futures import ThreadPoolExecutor

    noop = varnex.run_async(lambda: None)
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(200):  # warm both: threads started, code paths hot
            noop().wait()
            pool.submit(lambda: None).result()
        # Alternating blocks, pooled: a wake-up costs very different times depending on whether
        # the woken thread lands on the waiter's CPU, and blocks give both sides the same mix.
        ours, theirs = [], []
        for _ in range(10):
            for _ in range(n // 10):
                t0 = time.perf_counter()
                noop().wait()
                ours.append(time.perf_counter() - t0)
            for _ in range(n // 10):
                t0 = time.perf_counter()
                pool.submit(lambda: None).result()
                theirs.append(time.perf_counter() - t0)
        show("round trip run_async().wait()", ours)
        show("round trip TPE submit().result()", theirs)
        print(f"{'  ratio p50 / p99':<38} {percentile(ours, 0.5) / percentile(theirs, 0.5):9.2f}   "
              f"{percentile(ours, 0.99) / percentile(theirs, 0.99):9.2f}")

        for callers in (1, 4):
            rates = {}
            for name, one in (("run_async", lambda: noop().wait()),
                              ("TPE", lambda: pool.submit(lambda: None).result())):
                stop = time.perf_counter() + 1.0
                counts = [0] * callers

                def caller(i, one=one, stop=stop, counts=counts):
                    while time.perf_counter() < stop:
                        one()
                        counts[i] += 1

                threads = [threading.Thread(target=caller, args=(i,)) for i in range(callers)]
                t0 = time.perf_counter()
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                rates[name] = sum(counts) / (time.perf_counter() - t0)
            print(f"{f'calls/s, {callers} caller(s)':<38} run_async {rates['run_async']:9.0f}   "
                  f"TPE {rates['TPE']:9.0f}   ratio {rates['run_async'] / rates['TPE']:.2f}")

    returned_at = []

    def stamp():
        returned_at.append(time.perf_counter())

    timed = varnex.run_async(stamp)
    after_return = []
    for _ in range(n // 4):
        h = timed()
        h.wait()
        after_return.append(time.perf_counter() - returned_at[-1])
    show("wait() returns after the function", after_return)

    manager = varnex.TaskManager()
    sleeper = varnex.run_async(lambda d: (time.sleep(d), returned_at.append(time.perf_counter())))
    after_last = []
    for _ in range(50):
        handles = [sleeper(0.002), sleeper(0.004)]
        manager.wait_all()
        after_last.append(time.perf_counter() - max(returned_at[-2:]))
        del handles
    show("wait_all() returns after the last call", after_last)


def bench_throughput(n=5000):
    noop = varnex.run_async(lambda x: x)
    t0 = time.perf_counter()
    handles = [noop(i) for i in range(n)]
    total = sum(h.wait() for h in handles)
    elapsed = time.perf_counter() - t0
    assert total == n * (n - 1) // 2
    print(f"{'throughput':<38} {n / elapsed:9.0f} calls/s   ({n} calls in {elapsed:.3f} s)")


def bench_timer_under_load():
    if not hasattr(varnex, "timer"):
        print("timer under load: skipped, varnex has no timer")
        return
    code = f"""
    import varnex
    def rate():
        ticks = []
        t = varnex.timer(100.0)(lambda: ticks.append(1))()
        time.sleep(2.0)
        t.stop()
        return t.actual_frequency()
    alone = rate()
    release = threading.Event()
    handles = [varnex.run_async(release.wait)(60) for _ in range({SLOW_CALLS})]
    loaded = rate()
    busy = sum(not h.is_done() for h in handles)
    release.set()
    print(alone, loaded, busy)
    """
    rc, out, err = run_child(code, timeout=120)
    assert rc == 0, err
    alone, loaded, busy = out.split()
    print(f"{'timer 100 Hz alone':<38} {float(alone):9.1f} Hz")
    print(f"{f'timer 100 Hz beside {SLOW_CALLS} slow calls':<38} {float(loaded):9.1f} Hz   "
          f"({busy} calls still running at the end)")


def bench_block_until(runs=5):
    code = """
    import varnex
    t0 = time.monotonic()
    varnex.block_until(wait_ms=100)
    print(time.monotonic() - t0)
    """
    samples = []
    for _ in range(runs):
        rc, out, err = run_child(code)
        assert rc == 0, err
        samples.append(float(out))
    print(f"{'block_until(wait_ms=100) takes':<38} min {min(samples) * 1e3:7.1f} ms   "
          f"max {max(samples) * 1e3:7.1f} ms   (n={runs})")


def bench_signal_to_return(runs=10):
    # The child records when block_all returned; the parent when it sent the signal. Both use
    # CLOCK_MONOTONIC, which is shared by the processes of one machine.
    code = """
    import varnex
    announce_when_listening()
    varnex.block_all()
    print(time.clock_gettime(time.CLOCK_MONOTONIC), flush=True)
    """
    import signal

    samples = []
    for _ in range(runs):
        proc = start_child(code)
        line = proc.stdout.readline()
        assert line.strip() == "listening", line
        sent = time.clock_gettime(time.CLOCK_MONOTONIC)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
        assert proc.returncode == 0, err
        samples.append(float(out) - sent)
    show("SIGTERM to block_all() returned", samples, unit="ms", scale=1e3)


def bench_exit_safety(runs):
    from test_shutdown_exit import CHILD

    good = 0
    t0 = time.perf_counter()
    for i in range(runs):
        rc, out, err = run_child(CHILD.format(delay=(i % 10) * 0.01), timeout=60)
        good += rc == 3 and out == "exiting\n" and "Fatal" not in err and "terminate" not in err
    print(f"{'exit while calls run':<38} {good}/{runs} ended with status 3   "
          f"({(time.perf_counter() - t0) / runs * 1e3:.0f} ms per run)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exit-runs", type=int, default=50)
    args = parser.parse_args()
    print(f"cpus: {os.cpu_count()}, python {sys.version.split()[0]}")
    bench_start_and_round_trip()
    bench_against_thread_pool()
    bench_throughput()
    bench_timer_under_load()
    bench_block_until()
    bench_signal_to_return()
    if args.exit_runs:
        bench_exit_safety(args.exit_runs)


if __name__ == "__main__":
    main()
