"""A process that ends while timers of every engine run exits cleanly and keeps its status.

Each child starts normal, high and realtime timers (some calls release and retake the GIL
inside, as time.sleep does), then ends: at the end of its script, by sys.exit, by an uncaught
exception in the main thread, or right after keeping the GIL busy so that timer threads are
queued for it when finalization starts. The timer threads must neither crash the interpreter
nor hold it up. The repeated run (50 times per way, marked slow) is the exit-safety check.
"""

import concurrent.futures
import textwrap
import time

import pytest
from child_support import run_child, start_child

CHILD = textwrap.dedent(
    """
    import random, sys, time, varnex

    def work():
        sum(range(50))

    def sleepy():
        time.sleep(0.0005)  # gives the GIL up and takes it back inside the call

    handles = [
        varnex.timer(200.0)(work)(),
        varnex.timer(100.0)(sleepy)(),
        varnex.precision_timer(1000.0)(work)(),
        varnex.precision_timer(500.0)(sleepy)(),
        varnex.precision_timer(2000.0, realtime=True)(work)(),
        varnex.precision_timer(1000.0, realtime=True)(sleepy)(),
    ]
    varnex.precision_timer(1000.0)(work)()  # dropped at once: warns and stops
    time.sleep(random.uniform(0.01, 0.06))
    how = sys.argv[1]
    if how == "raise":
        raise RuntimeError("main thread failed")
    if how == "exit":
        sys.exit(3)
    if how == "busy":
        end = time.monotonic() + 0.05
        while time.monotonic() < end:
            pass
    print("end of script")
    """
)

EXPECTED_STATUS = {"end": 0, "busy": 0, "exit": 3, "raise": 1}
DROPPED = "dropped while still running. Make sure to save the handle returned by timer-decorated functions."


def run_once(how):
    return run_child(CHILD, timeout=30, check=False, args=[how])


def check(how, result):
    assert result.returncode == EXPECTED_STATUS[how], result.stderr
    for line in result.stderr.splitlines():
        # At exit the interpreter frees the kept handles of the running timers: each warns.
        if line.startswith("Warning: TimerHandle(id="):
            assert line.endswith(DROPPED)
        elif how != "raise":
            pytest.fail(f"unexpected stderr line: {line!r}\n{result.stderr}")
    if how == "raise":
        assert "RuntimeError: main thread failed" in result.stderr
    else:
        assert "Traceback" not in result.stderr
    assert result.stdout == ("end of script\n" if how in ("end", "busy") else "")


@pytest.mark.parametrize("how", list(EXPECTED_STATUS))
def test_exit_with_running_timers_keeps_the_status(how):
    check(how, run_once(how))


@pytest.mark.slow
@pytest.mark.parametrize("how", list(EXPECTED_STATUS))
def test_exit_with_running_timers_is_safe_50_times(how):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(run_once, [how] * 50))
    for result in results:
        check(how, result)


def test_timer_threads_that_wake_during_the_exit_handlers_find_what_they_use():
    """The C library runs the module's static destructors, then flushes its own streams: a
    child whose C-level stdout cannot be flushed (a full pipe nobody reads yet) stays in that
    window while its timer threads wake for their next tick (one stopped, one running, each
    engine). What they touch must still be there; the sanitizer build sees any object that is
    not."""
    child = start_child(
        """
        import ctypes, fcntl, os, time, varnex
        def work():
            pass
        handles = [varnex.timer(4.0)(work)(), varnex.timer(4.0)(work)(),
                   varnex.precision_timer(4.0)(work)(), varnex.precision_timer(4.0)(work)()]
        time.sleep(0.05)
        handles[0].stop()
        handles[2].stop()
        F_SETPIPE_SZ = 1031
        fcntl.fcntl(1, F_SETPIPE_SZ, 4096)
        os.write(1, b"." * 4096)                      # the pipe is full
        libc = ctypes.CDLL(None)
        libc.fdopen.restype = ctypes.c_void_p
        libc.fputs(b"end\\n", ctypes.c_void_p(libc.fdopen(1, b"w")))  # flushed at exit only
        """
    )
    time.sleep(1.0)  # the hold: longer than the timers' period, so that each wakes within it
    out, err = child.communicate(timeout=60)
    assert (child.returncode, out[-4:]) == (0, "end\n"), err
    # The running timers' kept handles may warn as the interpreter frees them; nothing else.
    assert all(line.startswith("Warning: TimerHandle(id=") and line.endswith(DROPPED)
               for line in err.splitlines()), err
