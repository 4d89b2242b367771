"""The task manager with running entries: counts, waits that time out, the GIL during waits,
and Ctrl+C ending a wait on the main thread."""

import signal
import threading
import time

import varnex
from child_support import read_line, run_child, start_child


def test_counts_follow_a_timer_through_stop_cleanup_and_handle_drop():
    manager = varnex.TaskManager()
    before = manager.status()
    handle = varnex.timer(50.0)(lambda: None)()
    status = manager.status()
    assert status["running_timers"] == before["running_timers"] + 1
    assert status["total"] == before["total"] + 1
    assert f"timers={status['running_timers']}," in repr(manager)
    handle.stop()
    # It counts as stopped once a call in progress at stop() has returned.
    deadline = time.monotonic() + 5
    while manager.status()["stopped"] == before["stopped"] and time.monotonic() < deadline:
        time.sleep(0.01)
    assert manager.status()["stopped"] == before["stopped"] + 1
    assert manager.timer_count == before["running_timers"]
    manager.cleanup()
    assert manager.status()["stopped"] == 0
    total = manager.total_count
    del handle  # its entry is already gone: nothing changes
    assert manager.total_count == total


def test_wait_all_with_a_running_timer_times_out_after_about_the_limit():
    manager = varnex.TaskManager()
    handle = varnex.timer(20.0)(lambda: None)()
    try:
        started = time.monotonic()
        assert manager.wait_all(timeout_ms=0) is False
        assert time.monotonic() - started < 0.02  # no sleep with a zero limit
        started = time.monotonic()
        assert manager.wait_all(timeout_ms=35) is False
        elapsed = time.monotonic() - started
    finally:
        handle.stop()
    # The limit is checked before each 10 ms sleep: about 40 ms.
    assert 0.035 <= elapsed < 0.035 + 0.1


def test_wait_all_releases_the_gil_for_threads_and_timer_calls():
    manager = varnex.TaskManager()
    ticks = []
    handle = varnex.precision_timer(200.0)(lambda: ticks.append(1))()
    spins = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            spins[0] += 1

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        time.sleep(0.05)
        spins_before, ticks_before = spins[0], len(ticks)
        assert manager.wait_all(timeout_ms=300) is False
        spins_during, ticks_during = spins[0] - spins_before, len(ticks) - ticks_before
    finally:
        stop.set()
        thread.join()
        handle.stop()
    assert spins_during > 10_000
    assert ticks_during >= 20  # about 60 expected


def test_stop_all_then_wait_all_waits_for_the_call_in_progress():
    # A stopped timer counts as running until its last call has returned.
    out = run_child(
        """
        import threading, time, varnex
        inside = threading.Event()
        def slow():
            inside.set()
            time.sleep(0.5)
        h = varnex.precision_timer(10.0)(slow)()
        inside.wait(5)
        m = varnex.TaskManager()
        m.stop_all()
        print(m.running_count, m.wait_all(timeout_ms=0), h.is_running())
        started = time.monotonic()
        print(m.wait_all(), time.monotonic() - started > 0.2, m.running_count, m.status())
        """
    )
    assert out.stdout.splitlines() == [
        "1 False False",
        "True True 0 {'running_timers': 0, 'running_tasks': 0, 'stopped': 1, 'total': 1}",
    ]


def test_shutdown_and_shutdown_all_stop_running_timers_and_return_at_once():
    out = run_child(
        """
        import time, varnex
        m = varnex.TaskManager()
        for shut in (m.shutdown, varnex.shutdown_all):
            h = varnex.precision_timer(100.0)(lambda: None)()
            started = time.monotonic()
            print(shut(), time.monotonic() - started < 0.1, h.is_running(), m.running_count)
        """
    )
    assert out.stdout.splitlines() == ["True True False 0"] * 2


def test_ctrl_c_ends_wait_all_without_limit_on_the_main_thread():
    # shutdown and shutdown_all clear every running flag before they wait, so only wait_all
    # can be left waiting on a running timer; all three share the interruptible wait.
    child = start_child(
        """
        import time, varnex
        h = varnex.timer(20.0)(lambda: None)()
        print("waiting", flush=True)
        started = time.monotonic()
        try:
            varnex.TaskManager().wait_all()
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - started, 2), h.is_running(), flush=True)
        """
    )
    try:
        assert read_line(child.stdout) == "waiting"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
    assert child.returncode == 0, err
    words = out.split()
    assert words[:2] == ["interrupted", "after"] and words[3] == "True"
    assert 0.2 < float(words[2]) < 2.0
