"""A child made by fork() uses the module as a new process would: nothing it inherited runs or
reads as running there, and what it starts works. Each parent is a child process of the test, so
that the test process itself never forks with the module's threads running."""

import textwrap

import pytest
from can_support import requires_can
from child_support import run_child

# The parent's side of every fork test: a runtime in full use (a normal and a precision timer,
# a background call that is still running, registry entries) when it forks.
BUSY_PARENT = """
    import os, sys, threading, time
    import varnex

    @varnex.timer(100.0)
    def slow_tick():
        pass

    @varnex.precision_timer(500.0)
    def fast_tick():
        pass

    release = threading.Event()

    @varnex.run_async
    def running_call():
        release.wait()
        return "done"

    parent_timers = [slow_tick(), fast_tick()]
    parent_call = running_call()
    time.sleep(0.2)

    def in_child(body, timeout=20):
        # Runs body() in a forked child; the child's exit status, or fails after `timeout` s.
        pid = os.fork()
        if pid == 0:
            try:
                body()
            except BaseException:
                import traceback
                traceback.print_exc()
                sys.stderr.flush()
                os._exit(1)
            if "libasan" in os.environ.get("LD_PRELOAD", ""):
                # LeakSanitizer's check at a normal exit would report the parent's memory that
                # only the parent's threads (not in the child) referenced.
                os._exit(0)
            sys.exit(0)  # a normal exit: finalization drops what the child inherited
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        raise AssertionError(f"forked child still running after {timeout} s")
"""


def run_parent(code, timeout=90):
    return run_child(textwrap.dedent(BUSY_PARENT) + textwrap.dedent(code), timeout=timeout)


def test_a_forked_child_starts_afresh_and_ends_normally_while_the_parent_runs_on():
    result = run_parent(
        """
        def child():
            manager = varnex.get_task_manager()
            # Nothing inherited runs or reads as running here, and nothing waits for it.
            assert [h.is_running() for h in parent_timers] == [False, False]
            assert parent_call.is_done()
            assert manager.status() == {"running_timers": 0, "running_tasks": 0, "stopped": 0, "total": 0}
            started = time.monotonic()
            assert manager.wait_all(3000) is True
            assert time.monotonic() - started < 1.0, "wait_all waited for what the parent runs"
            # What the child starts works.
            assert varnex.run_async(lambda x: x * 2)(21).wait(timeout_ms=5000) == 42
            ticks = []
            normal = varnex.timer(100.0)(lambda: ticks.append(1))()
            precise = varnex.precision_timer(200.0)(lambda: None)()
            time.sleep(0.5)
            assert len(ticks) > 0 and precise.tick_count() > 0, (len(ticks), precise.tick_count())
            assert manager.status()["running_timers"] == 2
            assert varnex.shutdown_all(2000) is True
        print("child", in_child(child))
        # The parent's own work went on untouched.
        ticks_before = [h.tick_count() for h in parent_timers]
        time.sleep(0.3)
        assert all(h.tick_count() > before for h, before in zip(parent_timers, ticks_before))
        assert not parent_call.is_done()
        release.set()
        assert parent_call.wait(timeout_ms=5000) == "done"
        """
    )
    assert "child 0" in result.stdout, result.stderr


def test_children_forked_while_parent_threads_use_the_module_never_hang():
    # Whatever module lock a parent thread holds at the fork stays locked in the child; the
    # child must never need it. Forking many times while threads hammer the registry, the
    # runtime and the diagnostics makes landing inside one of those locks likely.
    result = run_parent(
        """
        stop = threading.Event()
        lines = []
        varnex.set_diagnostic_handler(lines.append)

        def hammer():
            while not stop.is_set():
                handle = varnex.timer(1000.0)(lambda: 1 / 0)()  # error lines on every tick
                varnex.get_task_manager().status()
                varnex.run_async(lambda: None)().wait(timeout_ms=2000)
                handle.stop()
                del handle

        threads = [threading.Thread(target=hammer, daemon=True) for _ in range(2)]
        for t in threads:
            t.start()

        def child():
            # Generous limits: the child builds a whole runtime on a machine the parent's threads
            # keep busy.
            assert varnex.run_async(lambda: "ok")().wait(timeout_ms=15000) == "ok"
            varnex.get_task_manager().status()
            varnex.timer(1000.0)(lambda: 1 / 0)()  # dropped at once: a warning line, and errors

        codes = [in_child(child, timeout=30) for _ in range(25)]
        stop.set()
        for t in threads:
            t.join()
        print("codes", codes)
        """,
        timeout=240,
    )
    assert "codes [" + ", ".join(["0"] * 25) + "]" in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_workers_use_background_calls_and_timers(method, tmp_path):
    # The workers' function must be importable by name, as multiprocessing requires.
    (tmp_path / "pool_work.py").write_text(textwrap.dedent(
        """
        import time
        import varnex

        def work(x):
            ticks = []
            handle = varnex.timer(200.0)(lambda: ticks.append(1))()
            doubled = varnex.run_async(lambda: x * 2)().wait(timeout_ms=5000)
            deadline = time.monotonic() + 5
            while not ticks and time.monotonic() < deadline:
                time.sleep(0.01)
            handle.stop()
            return doubled, len(ticks) > 0
        """
    ))
    result = run_parent(
        f"""
        import multiprocessing
        sys.path.insert(0, {str(tmp_path)!r})
        import pool_work
        context = multiprocessing.get_context({method!r})
        with context.Pool(2) as pool:
            work = pool.map_async(pool_work.work, [1, 2, 3, 4], chunksize=1)
            print("results", work.get(timeout=60))
        release.set()
        """,
        timeout=120,
    )
    assert "results [(2, True), (4, True), (6, True), (8, True)]" in result.stdout, result.stderr


@requires_can
def test_inherited_non_blocking_devices_raise_and_dropping_them_leaves_the_parent_working():
    result = run_parent(
        """
        import gc
        from can_support import CanPeer
        peer = CanPeer("vcan0")
        dev = varnex.CanDeviceNonBlocking("vcan0")
        motor = varnex.Motor("vcan0", host=0x100)
        driver = motor.add_device(0, 0x201, "speed")
        time.sleep(0.1)
        peer.drain()
        while dev.try_receive() is not None:  # the group's configuration frames
            pass

        def child():
            global dev, motor, driver
            calls = [
                lambda: dev.send(0x123, b"x"), dev.try_receive, lambda: dev.receive_timeout(10),
                lambda: dev.recv(0.01), dev.interface, dev.close,
                motor.broadcast, lambda: motor.set_target(0, 1.0), lambda: motor.get_feedback(0),
                motor.close, lambda: driver.set_target(1.0), driver.get_feedback, driver.enter_configure,
            ]
            for call in calls:
                try:
                    call()
                except RuntimeError as error:
                    assert "on interface 'vcan0' belongs to the parent process" in str(error), error
                else:
                    raise AssertionError(f"{call} did not raise in the child")
            del dev, motor, driver
            gc.collect()

        print("child", in_child(child))
        # The parent's devices still send and receive.
        dev.send(0x321, b"ok")
        assert peer.recv(2.0)[1] == 0x321
        peer.send(0x555, b"in")
        assert dev.receive_timeout(2000) == (0x555, b"in")
        peer.send(0x201, bytes(8))
        deadline = time.monotonic() + 2
        while driver.feedback_count == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert driver.feedback_count == 1
        release.set()
        """
    )
    assert "child 0" in result.stdout, result.stderr


@requires_can
def test_an_inherited_blocking_device_works_in_the_child_on_a_socket_of_its_own():
    result = run_parent(
        """
        from can_support import CanPeer
        peer = CanPeer("vcan0")
        dev = varnex.CanDevice("vcan0")

        def child():
            dev.send(0x111, b"child")
            _, can_id, _, _, data = peer.recv(2.0)
            assert (can_id, data) == (0x111, b"child")
            peer.send(0x222, b"to-child")
            assert dev.recv(2.0) == (0x222, b"to-child")

        print("child", in_child(child))
        dev.send(0x333, b"parent")
        assert peer.recv(2.0)[1] == 0x333
        peer.send(0x444, b"to-par")
        frames = [dev.recv(2.0) for _ in range(3)]
        # The parent's socket heard the child's frames as any other node's, and kept its own.
        assert frames == [(0x111, b"child"), (0x222, b"to-child"), (0x444, b"to-par")], frames
        release.set()
        """
    )
    assert "child 0" in result.stdout, result.stderr
