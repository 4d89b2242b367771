"""precision_timer(priority=, cpu=): SCHED_FIFO and pinning for the timer thread only, checked
before anything starts, and a PermissionError that says how to grant the right.

What the placement buys (lateness under a CPU hog) is measured by bench/realtime_priority.py.
"""

import os
import textwrap
import threading

import pytest
import varnex
from child_support import DROP_REALTIME_RIGHT, run_child, wait_for
from timer_support import os_thread_names


def thread_id(name_prefix):
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().startswith(name_prefix):
                    return int(tid)
        except FileNotFoundError:
            pass
    return None


@pytest.mark.parametrize("kwargs, error, text", [
    ({"priority": 0}, ValueError, "priority must be from 1 to 99 (SCHED_FIFO), got 0"),
    ({"priority": 100}, ValueError, "priority must be from 1 to 99 (SCHED_FIFO), got 100"),
    ({"cpu": 4096}, ValueError, "cpu must be a CPU number from 0 to 1023, got 4096"),
    ({"priority": -1}, OverflowError, "argument 'priority'"),
    ({"priority": "80"}, TypeError, "argument 'priority'"),
])
def test_values_are_checked_when_the_decorator_is_made(kwargs, error, text):
    with pytest.raises(error) as raised:
        varnex.precision_timer(100.0, **kwargs)
    assert text in str(raised.value)
    with pytest.raises(error):
        varnex.PrecisionTimer(100.0, False, **kwargs)
    with pytest.raises(TypeError):
        varnex.precision_timer(100.0, False, 50)  # keyword-only


@pytest.mark.skipif(os.geteuid() != 0, reason="sets SCHED_FIFO: needs root (or CAP_SYS_NICE)")
def test_priority_and_cpu_apply_to_the_timer_thread_only():
    cpu = max(os.sched_getaffinity(0))
    seen = []
    handle = varnex.precision_timer(200.0, priority=10, cpu=cpu)(lambda: seen.append(1))()
    try:
        assert wait_for(lambda: len(seen) >= 3)
        tid = thread_id(f"timer-{handle.task_id}-")
        assert tid is not None
        assert os.sched_getscheduler(tid) == os.SCHED_FIFO
        assert os.sched_getparam(tid).sched_priority == 10
        assert os.sched_getaffinity(tid) == {cpu}
        # The process and its other threads keep their scheduling.
        assert os.sched_getscheduler(0) == os.SCHED_OTHER
        assert os.sched_getscheduler(threading.get_native_id()) == os.SCHED_OTHER
        assert len(os.sched_getaffinity(threading.get_native_id())) == len(os.sched_getaffinity(0))
    finally:
        handle.stop()


def test_a_placement_the_system_refuses_starts_nothing():
    # Refused at the start (the CPU does not exist here), after the decorator was accepted.
    missing = 1000
    wrapper = varnex.precision_timer(100.0, cpu=missing)(lambda: None)
    before = varnex.get_task_manager().total_count
    with pytest.raises(ValueError, match=f"cpu {missing} is not available to this process"):
        wrapper()
    assert varnex.get_task_manager().total_count == before
    assert wait_for(lambda: not any(n.startswith("timer-") for n in os_thread_names()))


def test_without_the_right_priority_raises_permission_error_saying_how_to_grant_it():
    out = run_child(DROP_REALTIME_RIGHT + textwrap.dedent("""
    import varnex
    calls = []
    wrapper = varnex.precision_timer(100.0, priority=80)(lambda: calls.append(1))
    try:
        wrapper()
    except PermissionError as e:
        print(e)
    import time; time.sleep(0.1)
    print(len(calls), varnex.get_task_manager().total_count)
    print(varnex.precision_timer(100.0)(lambda: None)().is_running())  # without priority: fine
    """)).stdout.splitlines()
    assert out[0].startswith("SCHED_FIFO priority 80 is not permitted for this process (it lacks "
                             "CAP_SYS_NICE and its rtprio limit is 0)")
    for way in ("setcap cap_sys_nice+ep", "/etc/security/limits.conf", "LimitRTPRIO="):
        assert way in out[0]
    assert out[1] == "0 0"
    assert out[2] == "True"
