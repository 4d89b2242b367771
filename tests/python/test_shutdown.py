"""block_all, block_until and shutdown_all, with real signals sent to child processes.

Every test that waits for a signal or stops everything runs in a child process: the stop flag
is never cleared and the signal handlers stay installed for the life of a process.
"""

import inspect
import signal
import time

import pytest
import varnex
from child_support import read_line
from shutdown_support import run_child, signal_when_listening, start_child

RECEIVED_SIGINT = "\n[varnex] Received SIGINT, initiating graceful shutdown...\n"
RECEIVED_SIGTERM = "\n[varnex] Received SIGTERM, initiating graceful shutdown...\n"
STOPPED = "[varnex] All tasks stopped successfully\n"
TIMED_OUT = "[varnex] Shutdown timed out, some tasks may still be running\n"

needs_timer = pytest.mark.skipif(
    not hasattr(varnex, "timer"), reason="varnex has no `timer` yet (timers are built separately)"
)


def test_signatures():
    assert str(inspect.signature(varnex.block_all)) == "(timeout_ms=None)"
    assert str(inspect.signature(varnex.block_until)) == "(wait_ms=None, shutdown_timeout_ms=None)"
    assert str(inspect.signature(varnex.shutdown_all)) == "(timeout_ms=None)"


@needs_timer
def test_block_all_on_sigint_stops_timers_and_no_keyboard_interrupt_surfaces():
    proc = start_child(
        """
        import varnex
        ticks = []
        @varnex.timer(100.0)
        def tick():
            ticks.append(1)
        handle = tick()
        announce_when_listening()
        result = varnex.block_all()
        print("result", result, flush=True)
        print("running", handle.is_running(), flush=True)
        time.sleep(0.2)  # a pending KeyboardInterrupt would be raised here
        n = len(ticks)
        time.sleep(0.1)
        print("ticks stopped", len(ticks) - n <= 1, "ticked", n > 0, flush=True)
        """
    )
    rc, out, err = signal_when_listening(proc, signal.SIGINT)
    assert rc == 0, err
    assert out.splitlines() == ["result SIGINT", "running False", "ticks stopped True ticked True"]
    assert err == RECEIVED_SIGINT + STOPPED


def test_sigterm_during_block_all_returns_and_the_process_lives_on():
    proc = start_child(
        """
        import varnex
        announce_when_listening()
        print("result", varnex.block_all(timeout_ms=5000), flush=True)
        os.kill(os.getpid(), signal.SIGTERM)  # no longer ends the process by itself
        time.sleep(0.1)
        print("alive", flush=True)
        """
    )
    rc, out, err = signal_when_listening(proc, signal.SIGTERM)
    assert rc == 0, err
    assert out.splitlines() == ["result SIGTERM", "alive"]
    assert err == RECEIVED_SIGTERM + STOPPED


def test_sigint_during_block_until_reports_the_signal():
    proc = start_child(
        """
        import varnex
        announce_when_listening()
        print("result", varnex.block_until(), flush=True)
        time.sleep(0.2)
        print("no interrupt", flush=True)
        """
    )
    rc, out, err = signal_when_listening(proc, signal.SIGINT)
    assert rc == 0, err
    assert out.splitlines() == ["result ('signal:SIGINT', True)", "no interrupt"]
    assert err == "\n[varnex] Stopping (reason: signal:SIGINT), initiating graceful shutdown...\n" + STOPPED


@needs_timer
def test_block_until_times_out_and_stops_everything():
    rc, out, err = run_child(
        """
        import varnex
        @varnex.timer(50.0)
        def tick():
            pass
        handle = tick()
        start = time.monotonic()
        result = varnex.block_until(wait_ms=100)
        elapsed = time.monotonic() - start
        print(result, handle.is_running(), varnex.get_task_manager().running_count, flush=True)
        print("elapsed ok", 0.1 <= elapsed < 5.0, flush=True)
        start = time.monotonic()
        print(varnex.block_until(0), time.monotonic() - start < 5.0, flush=True)
        print(varnex.block_until(wait_ms=0, shutdown_timeout_ms=0), flush=True)
        """
    )
    assert rc == 0, err
    assert out.splitlines() == [
        "('timeout', True) False 0",
        "elapsed ok True",
        "('timeout', True) True",
        "('timeout', True)",
    ]
    stopping = "\n[varnex] Stopping (reason: timeout), initiating graceful shutdown...\n" + STOPPED
    assert err == stopping * 3


def test_shutdown_all_with_nothing_registered_prints_nothing():
    rc, out, err = run_child(
        """
        import varnex
        print(varnex.shutdown_all(), varnex.shutdown_all(timeout_ms=0), flush=True)
        """
    )
    assert (rc, out, err) == (0, "True True\n", "")


def test_a_call_in_progress_at_the_signal_is_waited_for_and_still_delivers_its_result():
    # The first call outlasts the shutdown limit: reported as not stopped, and still counted;
    # the second ends within an unlimited wait, which returns only once it has.
    proc = start_child(
        """
        import varnex
        started, release = threading.Event(), threading.Event()
        @varnex.run_async
        def work():
            started.set()
            release.wait()
            return "done"
        handle = work()
        started.wait()
        announce_when_listening()
        print("result", varnex.block_all(timeout_ms=200), flush=True)
        print("after stop", handle.is_completed(), varnex.get_task_manager().running_count, flush=True)
        release.set()
        print("wait", handle.wait(timeout_ms=10000), handle.is_completed(), flush=True)
        begun = threading.Event()
        slow = varnex.run_async(lambda: begun.set() or time.sleep(0.3) or "slept")()
        begun.wait()
        print("shutdown", varnex.shutdown_all(), slow.is_completed(), slow.try_result(), flush=True)
        """
    )
    rc, out, err = signal_when_listening(proc, signal.SIGTERM)
    assert rc == 0, err
    assert out.splitlines() == [
        "result SIGTERM", "after stop False 1", "wait done True", "shutdown True True slept"
    ]
    assert err == RECEIVED_SIGTERM + TIMED_OUT


@needs_timer
def test_after_block_all_new_timers_end_at_once_but_background_calls_run():
    proc = start_child(
        """
        import varnex
        announce_when_listening()
        varnex.block_all()
        calls = []
        @varnex.timer(200.0)
        def tick():
            calls.append(1)
        handle = tick()
        h = varnex.run_async(lambda x: x + 1)(41)
        print("async", h.wait(timeout_ms=10000), flush=True)
        time.sleep(0.2)
        print("timer", handle.is_running(), len(calls), flush=True)
        """
    )
    rc, out, err = signal_when_listening(proc, signal.SIGINT)
    assert rc == 0, err
    assert out.splitlines() == ["async 42", "timer False 0"]


def test_reset_stop_after_block_until_lets_timers_tick_again_once_nothing_runs():
    rc, out, err = run_child(
        """
        import threading, varnex
        from child_support import wait_for
        calls = []
        @varnex.timer(200.0)
        def tick():
            calls.append(1)
        print(varnex.reset_stop(), flush=True)  # no stop in effect yet
        first = tick()
        print(varnex.block_until(wait_ms=50), flush=True)
        stopped = tick()
        time.sleep(0.2)
        print("after stop", stopped.is_running(), stopped.tick_count(), flush=True)
        # A background call still in its call holds the reset off, and is named.
        release = threading.Event()
        busy = varnex.run_async(lambda: release.wait(30))()
        try:
            varnex.reset_stop()
        except RuntimeError as e:
            print(str(e) == ("reset_stop refused: still running: background call %d; stop and "
                             "wait for them first (shutdown_all)" % busy.task_id), flush=True)
        late = tick()
        time.sleep(0.2)
        print("still stopped", late.tick_count(), flush=True)
        release.set()
        busy.wait(timeout_ms=10000)
        print(varnex.reset_stop(), flush=True)
        again = tick()
        print("again", wait_for(lambda: again.tick_count() >= 5), again.is_running(), flush=True)
        print(varnex.shutdown_all(timeout_ms=5000), varnex.reset_stop(), flush=True)
        """
    )
    assert rc == 0, err
    assert out.splitlines() == ["False", "('timeout', True)", "after stop False 0", "True",
                                "still stopped 0", "True", "again True True", "True True"]


def test_millisecond_arguments_are_refused_before_anything_waits_or_stops():
    rc, out, err = run_child(
        """
        import varnex
        release = threading.Event()
        h = varnex.run_async(release.wait)()
        for call in (lambda: varnex.block_all(timeout_ms=-1),
                     lambda: varnex.block_all(2**64),
                     lambda: varnex.block_until(wait_ms=-1, shutdown_timeout_ms="x"),
                     lambda: varnex.block_until(0, shutdown_timeout_ms=-1),
                     lambda: varnex.block_until(0, 1, 2)):
            try:
                call()
            except (OverflowError, TypeError) as e:
                print(type(e).__name__, e, flush=True)
        print("running", varnex.get_task_manager().running_count, flush=True)
        release.set()
        h.wait()
        """
    )
    assert rc == 0, err
    assert out.splitlines() == [
        "OverflowError argument 'timeout_ms': can't convert negative int to unsigned",
        "OverflowError argument 'timeout_ms': int too big to convert",
        "OverflowError argument 'wait_ms': can't convert negative int to unsigned",
        "OverflowError argument 'shutdown_timeout_ms': can't convert negative int to unsigned",
        "TypeError block_until() takes from 0 to 2 positional arguments but 3 were given",
        "running 1",
    ]
    assert err == ""


def test_block_until_inside_a_background_call_works():
    # The call runs on the runtime's blocking pool, where waiting on the runtime is allowed.
    rc, out, err = run_child(
        """
        import varnex
        h = varnex.run_async(lambda: varnex.block_until(wait_ms=50))()
        print(h.wait(timeout_ms=10000), flush=True)
        """
    )
    assert rc == 0, err
    assert out.splitlines() == ["('timeout', True)"]
    assert err == "\n[varnex] Stopping (reason: timeout), initiating graceful shutdown...\n" + STOPPED


def test_two_threads_waiting_are_both_woken_by_one_signal():
    proc = start_child(
        """
        import varnex
        results = []
        t = threading.Thread(target=lambda: results.append(varnex.block_until(wait_ms=60000)))
        announce_when_listening()  # before either wait can install the handlers
        t.start()
        results.append(varnex.block_all())
        t.join(20)
        print(sorted(map(str, results)), flush=True)
        """
    )
    # The second wait's listener may not exist yet when the first signal lands: keep signalling.
    rc, out, err = signal_when_listening(proc, signal.SIGTERM, repeat_every=0.3)
    assert rc == 0, err
    assert out.splitlines() == ["[\"('signal:SIGTERM', True)\", 'SIGTERM']"]


# ---- signals that always end a program ----

@pytest.mark.parametrize("wait, signo, expected", [
    ("varnex.block_all()", signal.SIGINT, "SIGINT"),
    ("varnex.block_until()", signal.SIGTERM, ("signal:SIGTERM", True)),
])
def test_a_wait_takes_back_the_signals_from_handlers_installed_after_an_earlier_wait(wait, signo, expected):
    # asyncio.run() installs its own SIGINT handler, as signal.signal() does below.
    proc = start_child(
        f"""
        import varnex
        varnex.block_until(wait_ms=0)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, lambda *args: print("python's handler", flush=True))
        announce_when_listening()
        print("result", repr({wait}), flush=True)
        """
    )
    rc, out, err = signal_when_listening(proc, signo, timeout=15)
    assert rc == 0, err
    # The program's own handler still runs, as the module's passes the signal on to it.
    handler_ran = ["python's handler"] if signo == signal.SIGTERM else []
    assert out.splitlines() == handler_ran + [f"result {expected!r}"]


STUCK_CALL = """
    import varnex
    started = threading.Event()
    @varnex.run_async
    def stuck():
        started.set()
        threading.Event().wait()  # never returns
    handle = stuck()
    started.wait()
    announce_when_listening()
"""


@pytest.mark.parametrize("wait, second, expected", [
    ("varnex.block_all()", signal.SIGINT, "SIGINT"),
    ("varnex.block_until()", signal.SIGTERM, "('signal:SIGINT', False)"),
])
def test_a_second_signal_ends_the_stop_phase_at_once_naming_what_still_runs(wait, second, expected):
    proc = start_child(STUCK_CALL + f"""
    print("result", {wait}, flush=True)
    """)
    try:
        ready = read_line(proc.stdout)
        assert ready == "listening", ready
        proc.send_signal(signal.SIGINT)
        first = f"{read_line(proc.stderr)}\n{read_line(proc.stderr)}"  # the announcement
        time.sleep(0.3)  # the stop phase waits for the stuck call
        assert proc.poll() is None
        proc.send_signal(second)
        out, err = proc.communicate(timeout=15)
    finally:
        proc.kill()
    assert proc.returncode == 0, first + err
    assert "initiating graceful shutdown" in first
    assert err == f"[varnex] Shutdown cut short by {signal.Signals(second).name}; still running: background call 1\n"
    assert out.splitlines() == [f"result {expected}"]


def test_other_signals_handlers_run_during_the_wait_and_a_raising_one_ends_it_before_any_stop():
    rc, out, err = run_child(
        """
        import varnex
        seen = []
        start = time.monotonic()
        signal.signal(signal.SIGUSR1, lambda *a: seen.append(round(time.monotonic() - start, 2)))
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGUSR1)).start()
        alarms = []
        signal.signal(signal.SIGALRM, lambda *a: alarms.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
        handle = varnex.timer(50.0)(lambda: None)()
        print("usr1", varnex.block_until(wait_ms=1500), seen, flush=True)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("alarms", len(alarms) >= 5, flush=True)

        class Raised(Exception):
            pass
        def fail(*args):
            raise Raised("from the handler")
        signal.signal(signal.SIGUSR1, fail)
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGUSR1)).start()
        sys.stderr.write("--\\n"); sys.stderr.flush()
        start = time.monotonic()
        try:
            varnex.block_until(wait_ms=10000)
        except Raised as error:
            print("raised", error, time.monotonic() - start < 3, flush=True)
        """
    )
    assert rc == 0, err
    usr1, alarms, raised = out.splitlines()
    result, seen = usr1[len("usr1 "):].rsplit(" ", 1)
    assert result == "('timeout', True)" and 0.3 <= float(seen.strip("[]")) < 1.0, usr1
    assert alarms == "alarms True"
    assert raised == "raised from the handler True"
    # The raising handler ended the second wait before anything was stopped or announced.
    assert err.split("--\n")[1] == ""
