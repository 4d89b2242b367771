"""Timers at run time: rates, stopping, thread names, errors, handles, catch-up.

Timing bounds are generous: these run on a loaded 2-core machine. Precise figures come from
bench/timer_latency.py.
"""

import re
import threading
import time

import pytest
import varnex
from child_support import run_child, wait_for
from timer_support import (
    current_thread_blocked_signals,
    current_thread_os_name,
    current_thread_timer_slack_ns,
    os_thread_names,
)


def test_normal_timer_at_10hz_calls_at_once_then_about_ten_times_a_second():
    calls = []

    @varnex.timer(10.0)
    def tick():
        calls.append(time.monotonic())

    started = time.monotonic()
    handle = tick()
    try:
        assert wait_for(lambda: calls, timeout=1.0)
        assert calls[0] - started < 0.08  # the first tick is due at once
        time.sleep(1.5)
        count = len(calls)
        span = calls[-1] - calls[0]
    finally:
        handle.stop()
    assert 13 <= count <= 17
    assert span / (count - 1) == pytest.approx(0.1, abs=0.01)
    assert handle.precision_mode() == "normal"


def test_stop_takes_effect_at_once_and_lets_at_most_one_more_call_happen():
    for engine in (varnex.timer(10.0), varnex.precision_timer(200.0)):
        calls = []
        handle = engine(lambda: calls.append(1))()
        assert wait_for(lambda: len(calls) >= 2)
        assert handle.stop() is None
        at_stop = handle.tick_count()
        assert handle.is_running() is False
        assert "running=false" in repr(handle)
        time.sleep(0.3)
        assert handle.tick_count() <= at_stop + 1
        assert len(calls) == handle.tick_count()
        handle.stop()  # again: nothing more happens
        assert handle.is_running() is False


def test_high_timer_at_1khz_serves_most_of_its_ticks_even_on_a_loaded_machine():
    # Other processes share the two CPUs and can hold the timer thread off for a scheduler
    # slice (4 ms) at a time: with both CPUs kept busy by other processes it served 78-92 %
    # here, on a quiet machine all but a few ticks (bench/ measures that). The best of three
    # 2 s windows is asked to reach 70 %, which an engine that loses ticks by itself misses.
    served = []
    for _ in range(3):
        handle = varnex.precision_timer(1000.0)(lambda: None)()
        try:
            time.sleep(2.0)
            ticks, elapsed = handle.tick_count(), handle.elapsed_secs()
        finally:
            handle.stop()
        assert ticks <= elapsed * 1000 + 2  # never faster than the grid
        served.append(ticks / (elapsed * 1000))
        if served[-1] >= 0.7:
            break
    assert max(served) >= 0.7, served


@pytest.mark.parametrize("realtime, mode", [(False, "High"), (True, "Realtime")])
def test_timer_thread_is_named_after_its_task_id_and_mode_and_calls_with_a_plain_threads_mask(realtime, mode):
    plain = []
    thread = threading.Thread(target=lambda: plain.append(current_thread_blocked_signals()))
    thread.start()
    thread.join()
    seen = []

    def tick():
        seen.append((current_thread_os_name(), current_thread_blocked_signals()))

    handle = varnex.precision_timer(100.0, realtime=realtime)(tick)()
    try:
        assert wait_for(lambda: seen)
    finally:
        handle.stop()
    name, blocked = seen[0]
    assert name == f"timer-{handle.task_id}-{mode}"[:15]
    assert handle.precision_mode() == mode.lower()
    assert blocked == plain[0]  # children started by the callback can be signalled


def error_calls(lines, line):
    """The raising calls that the error lines of `line` stand for: a line printed after the
    first stands for itself and the N repeats suppressed before it."""
    calls = 0
    for printed in lines:
        m = re.fullmatch(re.escape(line) + r"(?: \((\d+) similar messages suppressed\))?", printed)
        if m:
            calls += 1 + int(m.group(1) or 0)
    return calls


def test_each_raising_call_is_printed_or_counted_and_the_timer_goes_on():
    out = run_child(
        """
        import time, varnex

        def make():
            class Oops(Exception):
                pass
            return Oops

        Oops = make()

        class Mute(Exception):
            def __str__(self):
                raise RuntimeError("no text")

        def divide():
            1 / 0

        def nested():
            raise Oops("bad \\u00e9")

        def mute():
            raise Mute()

        handles = [varnex.timer(20.0)(divide)(), varnex.precision_timer(50.0)(nested)(),
                   varnex.precision_timer(50.0, realtime=True)(mute)()]
        time.sleep(0.5)
        for h in handles:
            h.stop()
        time.sleep(0.2)
        print(*(h.tick_count() for h in handles))
        print(*(h.is_running() for h in handles))
        """
    )
    counts = [int(n) for n in out.stdout.split("\n")[0].split()]
    assert out.stdout.split("\n")[1] == "False False False"
    lines = out.stderr.splitlines()
    expected = {
        "Timer function error: ZeroDivisionError: division by zero": counts[0],
        "Timer function error: make.<locals>.Oops: bad \u00e9": counts[1],
        "Timer function error: Mute: <exception str() failed>": counts[2],
    }
    for line, count in expected.items():
        assert count >= 5  # the timer kept going after the first error
        assert error_calls(lines, line) == count
        assert lines[lines.index(line) + 1] == "Traceback (most recent call last):"
    assert lines.count("Traceback (most recent call last):") == 3


def test_an_error_text_python_cannot_encode_keeps_the_rest_of_the_line():
    # A lone surrogate becomes "?"; a background call's error text drops such a str instead
    # (test_async's error texts): one exception text, a named rule per caller.
    out = run_child(
        """
        import time, varnex
        def odd():
            raise ValueError("a\\udc80b")
        h = varnex.timer(50.0)(odd)()
        time.sleep(0.3)
        h.stop()
        """
    )
    assert "Timer function error: ValueError: a?b" in out.stderr.splitlines()


def test_dropping_the_handle_warns_stops_and_unregisters():
    out = run_child(
        """
        import time, varnex
        calls = []
        update = varnex.timer(20.0)(lambda: calls.append(1))
        update()                      # handle not kept
        m = varnex.TaskManager()
        m.wait_all(timeout_ms=5000)   # a call in progress at the drop keeps it registered
        print(m.total_count)
        time.sleep(0.3)
        print(len(calls))
        kept = update()
        kept.stop()
        del kept                      # stopped first: no warning, still unregistered
        fast = varnex.precision_timer(1000.0)(lambda: calls.append(2))
        fast()
        m.wait_all(timeout_ms=5000)
        print(m.total_count)
        """
    )
    total_after_drop, calls, total_at_end = out.stdout.split()
    assert total_after_drop == "0" and total_at_end == "0"
    assert int(calls) <= 2
    assert out.stderr.splitlines() == [
        "Warning: TimerHandle(id=1) dropped while still running. Make sure to save the handle returned by timer-decorated functions.",
        "Warning: TimerHandle(id=3) dropped while still running. Make sure to save the handle returned by timer-decorated functions.",
    ]


def test_async_function_gets_the_coroutine_warning_and_still_runs():
    out = run_child(
        """
        import time, warnings, varnex
        warnings.simplefilter("ignore")   # "coroutine was never awaited"
        async def job():
            pass
        h = varnex.timer(50.0)(job)()
        time.sleep(0.2)
        print(h.is_running(), h.tick_count() > 0)
        h.stop()
        """
    )
    assert out.stdout.split() == ["True", "True"]
    assert out.stderr == (
        "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
        "and will likely fail to execute properly. Please use a synchronous function.\n"
    )


def test_every_tick_receives_the_same_argument_objects():
    first, second = object(), ["list"]
    seen = []
    for decorate in (varnex.timer(100.0), varnex.precision_timer(500.0)):
        seen.clear()
        handle = decorate(lambda *args: seen.append(args))(first, second)
        try:
            assert wait_for(lambda: len(seen) >= 5)
        finally:
            handle.stop()
        assert all(a is first and b is second and len(args) == 2 for args in list(seen) for a, b in [args])


def test_wrapper_call_refuses_keyword_arguments():
    wrapped = varnex.timer(10.0)(print)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        wrapped(1, end="")


def test_timers_started_after_stop_all_make_no_call():
    out = run_child(
        """
        import time, varnex
        calls = []
        varnex.TaskManager().stop_all()
        handles = [varnex.timer(100.0)(lambda: calls.append(1))(),
                   varnex.precision_timer(1000.0)(lambda: calls.append(2))(),
                   varnex.precision_timer(1000.0, realtime=True)(lambda: calls.append(3))()]
        time.sleep(0.3)
        print(len(calls), [h.is_running() for h in handles], [h.tick_count() for h in handles])
        """
    )
    assert out.stdout.strip() == "0 [False, False, False] [0, 0, 0]"


@pytest.mark.parametrize(
    "decorate",
    [varnex.timer(20.0), varnex.precision_timer(20.0), varnex.precision_timer(20.0, spin="adaptive")],
    ids=["normal", "high", "high-adaptive"],
)
@pytest.mark.timing
def test_one_overrunning_call_skips_the_grid_points_it_covered(decorate):
    # Period 50 ms; the call at 50 ms takes 125 ms. Calls then start at 175 ms (late, serving
    # the 100 ms point), 200 and 250 ms: 150 ms is skipped and the phase is kept.
    starts = []

    def tick():
        starts.append(time.monotonic())
        if len(starts) == 2:
            time.sleep(0.125)

    before = time.monotonic()  # the engine's grid starts a little after this
    handle = decorate(tick)()
    try:
        assert wait_for(lambda: len(starts) >= 5)
    finally:
        handle.stop()
    at = [(t - before) * 1000 for t in starts[:5]]
    for got, want in zip(at, [0, 50, 175, 200, 250]):
        assert want <= got < want + 25, at


def test_statistics_after_stop():
    handle = varnex.precision_timer(200.0)(lambda: None)()
    assert wait_for(lambda: handle.tick_count() >= 20)
    handle.stop()
    time.sleep(0.05)
    ticks, elapsed, actual = handle.tick_count(), handle.elapsed_secs(), handle.actual_frequency()
    assert actual == pytest.approx(ticks / elapsed, rel=0.05)
    time.sleep(0.1)
    assert handle.tick_count() == ticks
    assert handle.elapsed_secs() > elapsed  # keeps growing after stop
    assert handle.actual_frequency() < actual  # a lifetime average


@pytest.mark.parametrize(
    "frequency, realtime",
    [(float("nan"), False), (float("nan"), True), (float("inf"), True), (3e9, True), (1e-12, False)],
)
def test_a_frequency_without_a_usable_period_fails_to_start_leaving_nothing_behind(frequency, realtime):
    manager = varnex.TaskManager()
    decorators = [varnex.precision_timer(frequency, realtime=realtime)]
    if frequency > 0 or frequency != frequency:
        decorators.append(varnex.timer(frequency))
    for decorator in decorators:
        wrapped = decorator(lambda: None)
        total = manager.total_count
        with pytest.raises(ValueError, match="^frequency_hz is (NaN|too high|too low)"):
            wrapped()
        assert manager.total_count == total
        assert not [n for n in os_thread_names() if n.startswith("timer-")]


def test_timer_started_from_a_background_call_runs_and_stops():
    calls = []
    start = varnex.run_async(lambda: varnex.timer(100.0)(lambda: calls.append(1))())
    handle = start().wait(timeout_ms=5000)
    try:
        assert type(handle) is varnex.TimerHandle
        assert wait_for(lambda: len(calls) >= 3)
        assert handle.is_running()
    finally:
        handle.stop()
    time.sleep(0.05)
    assert not handle.is_running()


def test_timer_thread_keeps_one_python_thread_state_for_its_life():
    # threading.local lives in the thread state: it survives between ticks only if the timer
    # thread keeps its thread state instead of making a new one per call.
    import threading

    local = threading.local()
    seen = []

    def tick():
        seen.append(getattr(local, "mark", None))
        local.mark = "kept"

    handle = varnex.precision_timer(500.0)(tick)()
    try:
        assert wait_for(lambda: len(seen) >= 5)
    finally:
        handle.stop()
    assert seen[0] is None and set(seen[1:]) == {"kept"}


def test_a_wrapper_in_a_reference_cycle_is_collected():
    import gc
    import weakref

    class Callback:
        def __call__(self):
            pass

    callback = Callback()
    callback.wrapper = varnex.timer(10.0)(callback)  # callback -> wrapper -> callback
    gone = weakref.ref(callback)
    del callback
    gc.collect()
    assert gone() is None


@pytest.mark.timing
def test_normal_timers_called_together_keep_their_own_errors_counts_and_lines():
    # Started in one go, the timers' ticks come due together and are called in batches under
    # one GIL acquisition; each still has its own calls, count and lines.
    out = run_child(
        """
        import time, varnex

        def make(i):
            def tick():
                if i % 3 == 1:
                    raise ValueError(f"timer {i}")
                if i % 3 == 2:
                    raise KeyError(i)
            return tick

        handles = [varnex.timer(50.0)(make(i))() for i in range(12)]
        time.sleep(0.5)
        for h in handles:
            h.stop()
        time.sleep(0.2)
        for h in handles:
            print(h.tick_count(), h.error_count, h.last_error)
        """
    )
    rows = [line.split(" ", 2) for line in out.stdout.splitlines()]
    lines = out.stderr.splitlines()
    for i, (ticks, errors, last) in enumerate(rows):
        ticks, errors = int(ticks), int(errors)
        assert ticks >= 10, rows  # every timer kept its grid beside the raising ones
        if i % 3 == 0:
            assert (errors, last) == (0, "None")
            continue
        text = f"ValueError: timer {i}" if i % 3 == 1 else f"KeyError: {i}"
        assert (errors, last) == (ticks, text)
        assert error_calls(lines, f"Timer function error: {text}") == ticks
    assert lines.count("Traceback (most recent call last):") == 8


def test_a_slow_normal_timer_does_not_hold_back_the_ones_due_with_it():
    # The slow one's call sleeps 0.3 s; the fast one, due at the same moments, keeps ticking.
    fast = []
    slow = varnex.timer(2.0)(lambda: time.sleep(0.3))
    quick = varnex.timer(100.0)(lambda: fast.append(time.monotonic()))
    handles = [slow(), quick()]
    try:
        time.sleep(1.0)
    finally:
        for h in handles:
            h.stop()
    assert handles[0].tick_count() >= 2
    assert len(fast) >= 50  # 100 due; far fewer if it waited behind the slow calls
    assert max(b - a for a, b in zip(fast, fast[1:])) < 0.2


@pytest.mark.parametrize("spin, least_slack", [("fixed", False), ("adaptive", True)])
def test_an_adaptive_timer_thread_sleeps_with_the_least_timer_slack(spin, least_slack):
    seen = []

    def tick():
        seen.append((current_thread_os_name(), current_thread_timer_slack_ns()))

    plain = []
    thread = threading.Thread(target=lambda: plain.append(current_thread_timer_slack_ns()))
    thread.start()
    thread.join()
    handle = varnex.precision_timer(200.0, spin=spin)(tick)()
    try:
        assert wait_for(lambda: seen)
    finally:
        handle.stop()
    name, slack = seen[0]
    assert name == f"timer-{handle.task_id}-High"[:15]
    assert handle.precision_mode() == "high"
    assert slack == (1 if least_slack else plain[0])
