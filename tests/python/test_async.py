"""run_async, RunAsync and AsyncHandle."""

import gc
import inspect
import signal
import threading
import time
import weakref

import pytest
import varnex
from child_support import read_line
from shutdown_support import run_child, start_child

LONG = 30.0  # seconds: generous bounds for a loaded machine


def blocked_until(event, result=None, started=None):
    def body():
        if started is not None:
            started.set()
        assert event.wait(LONG)
        return result

    return varnex.run_async(body)


def test_doubling_through_wait_then_flags_and_repr():
    @varnex.run_async
    def double(x):
        time.sleep(0.05)
        return x * 2

    assert isinstance(double, varnex.RunAsync)
    handle = double(21)
    assert isinstance(handle, varnex.AsyncHandle)
    assert repr(handle) in (f"AsyncHandle(id={handle.task_id}, status=running)",
                            f"AsyncHandle(id={handle.task_id}, status=completed)")
    assert handle.wait() == 42
    assert handle.is_done() and handle.is_completed() and not handle.is_cancelled()
    assert repr(handle) == f"AsyncHandle(id={handle.task_id}, status=completed)"
    assert handle.wait() == 42 and handle.try_result() == 42


def test_an_exception_is_raised_as_runtime_error_by_every_wait_and_try_result():
    def fail():
        raise ValueError("bad")

    handle = varnex.run_async(fail)()
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            handle.wait()
        assert str(info.value) == "ValueError: bad" and type(info.value) is RuntimeError
        with pytest.raises(RuntimeError, match="^ValueError: bad$"):
            handle.try_result()
    assert handle.is_completed() and handle.is_done()


class Outer:
    class Failure(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise TypeError("no")


@pytest.mark.parametrize(
    "exception, text",
    [
        (Outer.Failure("boom"), "Outer.Failure: boom"),
        (Unprintable(), "Unprintable: <exception str() failed>"),
        (KeyError("k"), "KeyError: 'k'"),
        (OSError(2, "gone"), "FileNotFoundError: [Errno 2] gone"),
        (RuntimeError("ünïcode ✓"), "RuntimeError: ünïcode ✓"),
        (ValueError("a\udc80b"), "ValueError: <exception str() failed>"),  # not encodable
    ],
)
def test_error_text_is_qualified_type_and_str(exception, text):
    def fail():
        raise exception

    with pytest.raises(RuntimeError) as info:
        varnex.run_async(fail)().wait(timeout_ms=int(LONG * 1000))
    assert str(info.value) == text


def test_a_function_returning_none_and_arguments_passed_in_order():
    assert varnex.run_async(lambda: None)().wait() is None
    assert varnex.run_async(lambda *a: a)(1, "two", None).wait() == (1, "two", None)
    assert varnex.run_async(lambda: 1)().wait(timeout_ms=2**64 - 1) == 1


def test_try_result_is_none_until_the_function_returned(gate):
    started = threading.Event()
    handle = blocked_until(gate, "value", started)()
    assert started.wait(LONG)
    assert handle.try_result() is None
    assert not handle.is_done()
    gate.set()
    assert handle.wait(timeout_ms=int(LONG * 1000)) == "value"
    assert handle.try_result() == "value"


def test_wait_with_zero_timeout_does_not_sleep(gate):
    handle = blocked_until(gate, 5)()
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="^Async task wait timed out$"):
        handle.wait(timeout_ms=0)
    assert time.monotonic() - start < 1.0
    gate.set()
    assert handle.wait() == 5
    assert handle.wait(timeout_ms=0) == 5


def test_a_timed_out_wait_leaves_the_call_alone(gate):
    handle = blocked_until(gate, "late")()
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        handle.wait(timeout_ms=10)
    elapsed = time.monotonic() - start
    assert 0.01 <= elapsed < LONG
    assert not handle.is_done()
    gate.set()
    assert handle.wait() == "late"


def test_cancel_during_the_call_marks_only(gate):
    started = threading.Event()
    handle = blocked_until(gate, "finished anyway", started)()
    assert started.wait(LONG)
    manager = varnex.get_task_manager()
    assert handle.cancel() is None
    assert handle.is_cancelled() and handle.is_done() and not handle.is_completed()
    assert repr(handle) == f"AsyncHandle(id={handle.task_id}, status=cancelled)"
    start = time.monotonic()
    assert handle.wait() is None  # the result is not there yet
    assert time.monotonic() - start < 1.0
    assert manager.status()["running_tasks"] >= 1  # cancelling does not clear the running flag
    gate.set()
    deadline = time.monotonic() + LONG
    while not handle.is_completed() and time.monotonic() < deadline:
        time.sleep(0.001)
    assert handle.try_result() == "finished anyway"
    assert repr(handle) == f"AsyncHandle(id={handle.task_id}, status=cancelled)"


def test_a_non_callable_is_accepted_and_fails_in_the_background():
    runner = varnex.run_async(5)
    assert repr(runner) == "RunAsync(...)"
    with pytest.raises(RuntimeError) as info:
        runner().wait()
    assert str(info.value) == "TypeError: 'int' object is not callable"


def test_construction_forms_repr_and_signatures():
    def f():
        return 1

    assert repr(varnex.run_async(f)) == "RunAsync(...)"
    assert varnex.run_async(func=f)().wait() == 1
    assert varnex.RunAsync(func=f)().wait() == 1
    assert varnex.RunAsync(f)().wait() == 1
    assert str(inspect.signature(varnex.run_async)) == "(func)"
    assert str(inspect.signature(varnex.RunAsync)) == "(func)"
    assert str(inspect.signature(varnex.AsyncHandle.wait)) == "(self, /, timeout_ms=None)"
    for name in ("is_done", "is_completed", "is_cancelled", "cancel", "try_result"):
        assert str(inspect.signature(getattr(varnex.AsyncHandle, name))) == "(self, /)"
    with pytest.raises(TypeError):
        varnex.AsyncHandle()
    with pytest.raises(TypeError):
        varnex.RunAsync()
    with pytest.raises(TypeError):
        varnex.run_async(f, f)
    handle = varnex.run_async(f)()
    assert type(handle.task_id) is int
    with pytest.raises(AttributeError):
        handle.task_id = 1
    handle.wait()


@pytest.mark.parametrize(
    "value, error, text",
    [
        (-1, OverflowError, "argument 'timeout_ms': can't convert negative int to unsigned"),
        (2**64, OverflowError, "argument 'timeout_ms': int too big to convert"),
        (0.5, TypeError, "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_wait_timeout_conversion_errors(value, error, text):
    handle = varnex.run_async(lambda: 1)()
    with pytest.raises(error) as info:
        handle.wait(value)
    assert str(info.value) == text
    assert handle.wait(None) == 1


def test_several_threads_may_wait_on_one_handle(gate):
    handle = blocked_until(gate, "shared")()
    results = []
    threads = [threading.Thread(target=lambda: results.append(handle.wait())) for _ in range(4)]
    for t in threads:
        t.start()
    gate.set()
    for t in threads:
        t.join(LONG)
    assert results == ["shared"] * 4


def test_references_to_function_arguments_and_result_are_released():
    class Thing:
        pass

    arg, box = Thing(), [Thing()]
    arg_ref, result_ref = weakref.ref(arg), weakref.ref(box[0])
    handle = varnex.run_async(lambda a: box.pop())(arg)
    del arg
    assert isinstance(handle.wait(), Thing)
    gc.collect()
    assert arg_ref() is None  # released by the call as soon as it returned
    assert result_ref() is not None  # kept by the handle
    del handle
    gc.collect()
    assert result_ref() is None


def test_a_result_outliving_its_dropped_handle_is_released_later():
    rc, out, err = run_child(
        """
        import gc, weakref, varnex
        class Thing: pass
        release = threading.Event()
        refs = []
        started = threading.Event()
        def make():
            started.set()
            release.wait()
            t = Thing()
            refs.append(weakref.ref(t))
            return t
        h = varnex.run_async(make)()
        started.wait()
        h.cancel()  # no warning when dropped
        del h
        release.set()
        while not refs or varnex.get_task_manager().running_count:
            time.sleep(0.01)
        time.sleep(0.1)
        varnex.run_async(lambda: None)().wait()  # the module holds the GIL again: queued releases run
        gc.collect()
        print(refs[0]() is None)
        """
    )
    assert rc == 0, err
    assert out.strip() == "True"


def test_keyword_arguments_start_nothing():
    rc, out, err = run_child(
        """
        import varnex
        f = varnex.run_async(lambda x: x)
        try:
            f(x=1)
        except TypeError as e:
            print(e)
        m = varnex.get_task_manager()
        print(m.total_count)
        h = f(1)
        print(h.task_id, m.total_count, h.wait())
        """
    )
    assert rc == 0, err
    assert out.splitlines() == ["RunAsync.__call__() takes no keyword arguments", "0", "1 1 1"]


def test_ids_start_at_one_and_are_shared_with_timers():
    rc, out, err = run_child(
        """
        import varnex
        h1 = varnex.run_async(lambda: None)()
        ids = [h1.task_id]
        if hasattr(varnex, "timer"):
            t = varnex.timer(10.0)(lambda: None)()
            ids.append(t.task_id)
            t.stop()
        else:
            ids.append(2)
        h3 = varnex.run_async(lambda: None)()
        ids.append(h3.task_id)
        h1.wait(); h3.wait()
        print(ids)
        """
    )
    assert rc == 0, err
    assert out.strip() == "[1, 2, 3]"


def test_dropping_warns_only_for_unfinished_uncancelled_handles_and_unregisters_once_ended():
    # A dropped handle's call that still runs stays registered (and waited for) until it ends.
    rc, out, err = run_child(
        """
        import concurrent.futures
        import varnex
        m = varnex.get_task_manager()
        release = threading.Event()
        def blocked():
            release.wait()
        finished = varnex.run_async(lambda: 1)()
        finished.wait()
        cancelled = varnex.run_async(lambda: None)()
        cancelled.cancel()
        try:
            cancelled.result()  # None if the call began before cancel(): it still runs to its end
        except concurrent.futures.CancelledError:
            pass
        running = varnex.run_async(blocked)()
        ids = (finished.task_id, cancelled.task_id, running.task_id)
        print(m.total_count, flush=True)
        del finished
        print(m.total_count, flush=True)
        del cancelled
        print(m.total_count, flush=True)
        del running
        print(m.total_count, m.running_count, m.wait_all(timeout_ms=50), ids, flush=True)
        release.set()
        print(m.wait_all(timeout_ms=10000), m.total_count, flush=True)
        """
    )
    assert rc == 0, err
    assert out.splitlines() == ["3", "2", "1", "1 1 False (1, 2, 3)", "True 0"]
    assert err == (
        "Warning: AsyncHandle(id=3) dropped while task still running. "
        "Consider calling handle.cancel() or handle.wait() before dropping.\n"
    )


def test_ctrl_c_ends_a_wait_on_the_main_thread_and_leaves_the_call_alone():
    proc = start_child(
        """
        import varnex
        release = threading.Event()
        def forever():
            release.wait()
            return "later"
        h = varnex.run_async(forever)()
        print("waiting", flush=True)
        try:
            h.wait()
        except KeyboardInterrupt:
            print("interrupted", h.is_done(), h.is_cancelled(), flush=True)
        release.set()
        print(h.wait(timeout_ms=10000), flush=True)
        """
    )
    assert read_line(proc.stdout) == "waiting"
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=LONG)
    assert proc.returncode == 0, err
    assert out.splitlines() == ["interrupted False False", "later"]


def test_waits_inside_a_background_call_do_not_deadlock():
    inner = varnex.run_async(lambda: "inner")

    def outer():
        return inner().wait(timeout_ms=int(LONG * 1000)) + "+outer"

    assert varnex.run_async(outer)().wait(timeout_ms=int(LONG * 1000)) == "inner+outer"
