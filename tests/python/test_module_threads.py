"""Python code that the module runs on its own threads behaves as on a plain Python thread.

Children started from a timer callback or a background call can be signalled, Ctrl+C still
reaches the main thread while timers run, and references those threads drop are released
promptly even when the program makes no further call into the module.
"""

import signal
import subprocess
import threading
import time

import pytest
import varnex
from child_support import read_line
from shutdown_support import finish_child, start_child

LONG = 30.0  # seconds: generous bounds for a loaded machine


def blocked_signals(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("SigBlk:"):
                return int(line.split()[1], 16)
    raise AssertionError("no SigBlk line")


def start_sleeper(children):
    children.append(subprocess.Popen(["sleep", "30"]))


def from_plain_thread(children):
    thread = threading.Thread(target=start_sleeper, args=(children,))
    thread.start()
    thread.join()


def from_timer(children):
    handle = varnex.timer(100.0)(lambda: children or start_sleeper(children))()
    return handle


def from_precision_timer(children):
    return varnex.precision_timer(100.0)(lambda: children or start_sleeper(children))()


def from_background_call(children):
    return varnex.run_async(start_sleeper)(children)


@pytest.mark.parametrize("start", [from_timer, from_precision_timer, from_background_call])
def test_a_child_started_on_a_module_thread_ends_on_terminate(start):
    plain = []
    from_plain_thread(plain)
    children = []
    keep = start(children)
    try:
        deadline = time.monotonic() + LONG
        while not children and time.monotonic() < deadline:
            time.sleep(0.01)
        assert children, "the callback never ran"
        child = children[0]
        assert blocked_signals(child.pid) == blocked_signals(plain[0].pid)
        child.terminate()
        assert child.wait(timeout=1.0) == -signal.SIGTERM
    finally:
        if hasattr(keep, "stop"):
            keep.stop()
        for proc in plain + children:
            proc.kill()
            proc.wait()


def test_ctrl_c_reaches_the_main_thread_while_timers_run_python():
    proc = start_child(
        """
        import varnex
        busy = lambda: sum(range(200))
        handles = [varnex.timer(500.0)(busy)(), varnex.precision_timer(2000.0)(busy)(),
                   varnex.precision_timer(2000.0, realtime=True)(busy)()]
        time.sleep(0.5)
        try:
            print("ready", flush=True)
            time.sleep(60)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """
    )
    assert read_line(proc.stdout) == "ready"
    # Only once the main thread sleeps: time.sleep looks for signals only when one interrupts it,
    # so one handled on the way from print to the sleep (a loaded machine can hold the main
    # thread there for milliseconds) would leave it asleep, with or without this module.
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    rc, out, err = finish_child(proc, LONG, "after SIGINT")
    assert (rc, out.strip()) == (0, "interrupted"), err


def test_a_result_dropped_with_its_handle_is_finalised_while_the_main_thread_sleeps():
    finalised = threading.Event()
    returned_at = []

    class Tracked:
        def __del__(self):
            finalised.set()

    gate, started = threading.Event(), threading.Event()

    def make():
        started.set()
        gate.wait(LONG)
        returned_at.append(time.monotonic())
        return Tracked()

    handle = varnex.run_async(make)()
    assert started.wait(LONG)
    handle.cancel()  # dropped without a warning; the call goes on and its result has no taker
    del handle
    gate.set()
    deadline = time.monotonic() + LONG
    while not finalised.is_set() and time.monotonic() < deadline:
        time.sleep(0.01)  # no call into the module that could release anything
    finalised_at = time.monotonic()
    assert finalised.is_set()
    assert finalised_at - returned_at[0] < 1.0
