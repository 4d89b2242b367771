"""AsyncHandle as a future: result(), exception(), done callbacks, await, and the cause kept."""

import asyncio
import concurrent.futures
import signal
import threading
import time
import traceback

import pytest
import varnex
from child_support import read_line
from shutdown_support import run_child, start_child

LONG = 30.0  # seconds: generous bounds for a loaded machine


def failing_function(message):
    raise ValueError(message)


def test_result_returns_the_value_and_raises_the_very_exception_with_its_frame():
    assert varnex.run_async(lambda x: x * 2)(21).result(LONG) == 42
    assert varnex.run_async(lambda: None)().result() is None

    handle = varnex.run_async(failing_function)("bad input")
    with pytest.raises(ValueError, match="bad input") as info:
        handle.result(LONG)
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "failing_function" in frames
    # The same object every time, and from exception() as well.
    with pytest.raises(ValueError) as again:
        handle.result()
    assert again.value is info.value
    assert handle.exception(LONG) is info.value
    assert varnex.run_async(lambda: 5)().exception(LONG) is None


def test_wait_and_try_result_keep_their_text_and_gain_the_cause():
    handle = varnex.run_async(failing_function)("bad input")
    original = handle.exception(LONG)
    for read in (handle.wait, handle.try_result):
        with pytest.raises(RuntimeError) as info:
            read()
        assert str(info.value) == "ValueError: bad input"
        assert info.value.__cause__ is original


@pytest.mark.parametrize("timeout", [0, 0.05, 1e-9, -1])
def test_result_and_exception_time_out_and_leave_the_call_alone(gate, timeout):
    handle = varnex.run_async(lambda: gate.wait(LONG) and "done")()
    with pytest.raises(TimeoutError):
        handle.result(timeout)
    with pytest.raises(TimeoutError):
        handle.exception(timeout=timeout)
    gate.set()
    assert handle.result(LONG) == "done"


def test_result_timeout_conversion_errors():
    handle = varnex.run_async(lambda: 1)()
    with pytest.raises(TypeError):
        handle.result("1")
    with pytest.raises(ValueError):
        handle.result(float("nan"))


def test_ctrl_c_ends_result_on_the_main_thread_and_leaves_the_call_alone():
    proc = start_child(
        """
        import varnex
        release = threading.Event()
        h = varnex.run_async(lambda: release.wait() and "later")()
        try:
            print("waiting", flush=True)
            h.result()
        except KeyboardInterrupt:
            print("interrupted", h.is_done(), flush=True)
        release.set()
        print(h.result(30), flush=True)
        """
    )
    assert read_line(proc.stdout) == "waiting"
    time.sleep(0.3)  # into the wait; an earlier signal would end it the same way
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=LONG)
    assert proc.returncode == 0, err
    assert out.splitlines() == ["interrupted False", "later"]


async def awaited(handle):
    return await handle


def test_cancelled_error_exactly_when_the_call_was_skipped():
    # Whether cancel() comes before the call starts is a race; every handle must agree with
    # whether its function ran.
    ran = set()
    handles = []
    for i in range(300):
        handle = varnex.run_async(ran.add)(i)
        handle.cancel()
        handles.append((i, handle))
    skipped = 0
    for i, handle in handles:
        try:
            handle.result(LONG)
        except concurrent.futures.CancelledError:
            skipped += 1
            assert i not in ran
            with pytest.raises(concurrent.futures.CancelledError):
                handle.exception(LONG)
            assert handle.wait() is None  # unchanged: a skipped call reads as None
            if skipped == 1:
                with pytest.raises(concurrent.futures.CancelledError):
                    asyncio.run(awaited(handle))
        else:
            assert i in ran
    assert skipped > 0  # cancel() right after the start nearly always comes first


def test_done_callbacks_run_once_before_and_after_the_end(gate):
    seen = []
    done = threading.Event()
    handle = varnex.run_async(lambda: gate.wait(LONG) and 7)()

    def early(h):
        seen.append(("early", h.result(0), threading.current_thread() is threading.main_thread()))
        done.set()

    handle.add_done_callback(early)
    assert seen == []
    gate.set()
    assert done.wait(LONG)
    handle.add_done_callback(lambda h: seen.append(("late", h is handle)))
    assert seen == [("early", 7, False), ("late", True)]


def test_a_raising_done_callback_is_reported_and_the_program_goes_on():
    rc, out, err = run_child(
        """
        import threading, varnex
        done = threading.Event()
        def bad(h):
            raise KeyError("boom")
        h = varnex.run_async(lambda: 1)()
        h.add_done_callback(bad)
        h.add_done_callback(lambda h: done.set())
        assert done.wait(30)
        h.add_done_callback(bad)  # already ended: runs at once, reported the same way
        print("result", h.result())
        """
    )
    assert rc == 0, err
    assert out.strip() == "result 1"
    lines = [line for line in err.splitlines() if "done callback" in line]
    assert lines == ["Warning: exception in AsyncHandle done callback: KeyError: 'boom'"] * 2


@pytest.mark.timing  # starting the 20 calls must take less than their 10 ms
def test_callbacks_pending_at_interpreter_exit_do_not_crash():
    rc, out, err = run_child(
        """
        import time, varnex
        for _ in range(20):
            varnex.run_async(time.sleep)(0.01).add_done_callback(lambda h: print("cb", h.result()))
        print("exiting", flush=True)
        """
    )
    assert rc == 0, err
    assert out.startswith("exiting")


def test_asyncio_awaits_several_handles_while_the_loop_keeps_running():
    release = threading.Event()

    def slow(value):
        assert release.wait(LONG)
        return value * 10

    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                if ticks == 5:
                    release.set()  # only a loop that is not blocked gets here
                await asyncio.sleep(0.001)

        tick_task = asyncio.ensure_future(ticker())
        results = await asyncio.wait_for(
            asyncio.gather(*(varnex.run_async(slow)(i) for i in range(4))), LONG
        )
        tick_task.cancel()
        with pytest.raises(ValueError, match="async bad"):
            await varnex.run_async(failing_function)("async bad")
        return results, ticks

    results, ticks = asyncio.run(main())
    assert results == [0, 10, 20, 30]
    assert ticks >= 5


def test_await_outside_a_running_loop_and_after_the_loop_closed(capfd):
    first = varnex.run_async(lambda: 1)()
    with pytest.raises(RuntimeError):
        first.__await__()
    assert first.result(LONG) == 1

    gate = threading.Event()
    handle = varnex.run_async(lambda: gate.wait(LONG))()

    async def give_up():
        try:
            await asyncio.wait_for(handle, 0.01)
        except asyncio.TimeoutError:
            return "gave up"

    assert asyncio.run(give_up()) == "gave up"
    after = threading.Event()
    handle.add_done_callback(lambda h: after.set())  # runs after the loop's own callback
    gate.set()  # the call ends after its loop closed: the notice is dropped quietly
    assert handle.result(LONG) is True
    assert after.wait(LONG)
    assert "Warning" not in capfd.readouterr().err
