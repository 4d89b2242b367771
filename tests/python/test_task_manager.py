"""TaskManager, get_task_manager() and shutdown_all() as Python sees them."""

import types

import pytest
import varnex
from child_support import run_child


def test_fresh_process_reports_empty_registry_and_shutdown_prints_nothing():
    out = run_child(
        "import varnex\n"
        "m = varnex.TaskManager()\n"
        "print(repr(m))\n"
        "print(list(m.status().items()))\n"
        "print(m.running_count, m.total_count, m.timer_count, m.async_task_count)\n"
        "print(varnex.shutdown_all(), varnex.shutdown_all(timeout_ms=0), m.shutdown(0))\n"
        "print(repr(m))\n"
    )
    assert out.stdout.splitlines() == [
        "TaskManager(timers=0, tasks=0, stopped=0, total=0)",
        "[('running_timers', 0), ('running_tasks', 0), ('stopped', 0), ('total', 0)]",
        "0 0 0 0",
        "True True True",
        "TaskManager(timers=0, tasks=0, stopped=0, total=0)",
    ]
    assert out.stderr == ""


@pytest.mark.parametrize("name", ["running_count", "total_count", "timer_count", "async_task_count"])
def test_counts_are_read_only_int_properties(name):
    manager = varnex.get_task_manager()
    assert isinstance(vars(varnex.TaskManager)[name], types.GetSetDescriptorType)
    value = getattr(manager, name)
    assert type(value) is int and value >= 0
    with pytest.raises(TypeError, match="'int' object is not callable"):
        getattr(manager, name)()
    with pytest.raises(AttributeError):
        setattr(manager, name, 1)


def test_status_counts_add_up_and_match_the_properties():
    manager = varnex.TaskManager()
    status = manager.status()
    assert list(status) == ["running_timers", "running_tasks", "stopped", "total"]
    assert all(type(v) is int for v in status.values())
    assert status["running_timers"] + status["running_tasks"] + status["stopped"] == status["total"]
    assert status["total"] == manager.total_count
    assert status["running_timers"] == manager.timer_count
    assert status["running_tasks"] == manager.async_task_count


def test_every_instance_is_a_distinct_view_of_one_registry():
    a, b, c = varnex.get_task_manager(), varnex.get_task_manager(), varnex.TaskManager()
    assert a is not b and type(a) is type(c) is varnex.TaskManager
    assert a.status() == b.status() == c.status()
    assert repr(a) == repr(c)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def waits():
    # Conversion fails before anything is stopped, so these may run in the test process.
    manager = varnex.TaskManager()
    return {
        "wait_all": manager.wait_all,
        "shutdown": manager.shutdown,
        "shutdown_all": varnex.shutdown_all,
    }


def test_stops_and_waits_with_nothing_running_return_true_and_none():
    # stop_all sets the process-wide stop flag for good: run in a fresh process.
    out = run_child(
        "import threading, varnex\n"
        "class Index:\n"
        "    def __index__(self): return 5\n"
        "m = varnex.TaskManager()\n"
        "results = [m.stop_all(), m.cleanup()]\n"
        "for limit in (None, 0, 35, 2**64 - 1, Index(), True):\n"
        "    for wait in (m.wait_all, m.shutdown, varnex.shutdown_all):\n"
        "        results += [wait(limit), wait(timeout_ms=limit)]\n"
        "results += [m.wait_all(), m.shutdown(), varnex.shutdown_all()]\n"
        "t = threading.Thread(target=lambda: results.append(m.shutdown()))\n"
        "t.start(); t.join()\n"
        "print(repr(results))\n"
    )
    assert out.stdout.strip() == repr([None, None] + [True] * (6 * 3 * 2 + 3 + 1))
    assert out.stderr == ""


@pytest.mark.parametrize("which", ["wait_all", "shutdown", "shutdown_all"])
@pytest.mark.parametrize(
    "value, error, text",
    [
        (-1, OverflowError, "argument 'timeout_ms': can't convert negative int to unsigned"),
        (2**64, OverflowError, "argument 'timeout_ms': int too big to convert"),
        ("5", TypeError, "argument 'timeout_ms': 'str' object cannot be interpreted as an integer"),
        (1.5, TypeError, "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
        (Index(-2), OverflowError, "argument 'timeout_ms': can't convert negative int to unsigned"),
    ],
)
def test_timeout_conversion_errors_name_the_argument(which, value, error, text):
    wait = waits()[which]
    with pytest.raises(error) as positional:
        wait(value)
    assert str(positional.value) == text
    with pytest.raises(error) as keyword:
        wait(timeout_ms=value)
    assert str(keyword.value) == text


def test_argument_binding_errors():
    manager = varnex.TaskManager()
    cases = [
        (lambda: manager.wait_all(1, 2), "wait_all() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: manager.shutdown(timeout=1), "shutdown() got an unexpected keyword argument 'timeout'"),
        (lambda: varnex.shutdown_all(1, timeout_ms=1), "shutdown_all() got multiple values for argument 'timeout_ms'"),
        (lambda: varnex.TaskManager(1), "TaskManager() takes no arguments (1 given)"),
        (lambda: varnex.TaskManager(x=1), "TaskManager() got an unexpected keyword argument 'x'"),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
    for call in (lambda: manager.stop_all(1), lambda: manager.status(x=1), lambda: varnex.get_task_manager(1)):
        with pytest.raises(TypeError):
            call()
