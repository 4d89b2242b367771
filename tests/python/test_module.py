"""The module object: what import registers, in which order, with which names and signatures."""

import inspect
import types

import pytest
import varnex
from child_support import run_child

CLASSES = [
    "AsyncHandle",
    "CanDevice",
    "CanDeviceNonBlocking",
    "Device",
    "Motor",
    "PrecisionTimer",
    "TaskManager",
    "RunAsync",
    "Timer",
    "TimerHandle",
    "TimerWrapper",
    "CanLogWriter",
    "CanLogReader",
    "CanLogFrame",
    "CanLogTask",
]
FUNCTIONS = [
    "timer",
    "precision_timer",
    "run_async",
    "get_task_manager",
    "shutdown_all",
    "block_all",
    "block_until",
    "set_diagnostic_handler",
    "reset_stop",
    "log_to",
    "replay",
]
REGISTRATION_ORDER = CLASSES + FUNCTIONS

# The text signature each class with a constructor and each function declares.
SIGNATURES = {
    "CanDevice": "(interface, *, filters=None, error_frames=False, bitrate=None)",
    "CanDeviceNonBlocking": "(interface, *, filters=None, error_frames=False, bitrate=None)",
    "Motor": "(interface, host=None, host_id=None, *, reapply_setup=False, bitrate=None)",
    "PrecisionTimer": "(frequency_hz, realtime=False, spin='fixed', *, priority=None, cpu=None)",
    "TaskManager": "()",
    "RunAsync": "(func)",
    "Timer": "(frequency_hz)",
    "timer": "(frequency_hz)",
    "precision_timer": "(frequency_hz, realtime=False, spin='fixed', *, priority=None, cpu=None)",
    "run_async": "(func)",
    "get_task_manager": "()",
    "shutdown_all": "(timeout_ms=None)",
    "block_all": "(timeout_ms=None)",
    "block_until": "(wait_ms=None, shutdown_timeout_ms=None)",
    "set_diagnostic_handler": "(handler)",
    "reset_stop": "()",
    "log_to": "(logger)",
    "CanLogWriter": "(path, *, interface=None)",
    "CanLogReader": "(path)",
    "replay": "(source, device, *, speed=1.0)",
}
WITHOUT_CONSTRUCTOR = ["AsyncHandle", "Device", "TimerHandle", "TimerWrapper", "CanLogTask"]


def own_attributes():
    return [name for name in vars(varnex) if not (name.startswith("__") and name.endswith("__"))]


def test_the_module_holds_every_registered_class_and_function_in_order_and_nothing_else():
    # Classes before functions, each in registration order; a missing name fails here.
    assert own_attributes() == REGISTRATION_ORDER


def test_classes_are_types_and_functions_are_builtins_named_as_registered():
    for name in own_attributes():
        obj = getattr(varnex, name)
        assert obj.__name__ == name
        assert obj.__module__ == "varnex"
        if name in CLASSES:
            assert isinstance(obj, type)
            assert obj.__qualname__ == name
        else:
            assert isinstance(obj, types.BuiltinFunctionType)


def test_module_docstring_is_one_line():
    assert varnex.__doc__ and "\n" not in varnex.__doc__.strip()


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signature(name):
    obj = getattr(varnex, name)
    assert str(inspect.signature(obj)) == SIGNATURES[name]


@pytest.mark.parametrize("name", WITHOUT_CONSTRUCTOR)
def test_class_without_constructor_refuses_calls(name):
    cls = getattr(varnex, name)
    with pytest.raises(TypeError):
        cls()


def test_task_manager_methods_declare_signatures_and_properties_do_not():
    tm = varnex.TaskManager
    assert str(inspect.signature(tm.wait_all)) == "(self, /, timeout_ms=None)"
    assert str(inspect.signature(tm.shutdown)) == "(self, /, timeout_ms=None)"
    for method in ("stop_all", "cleanup", "status"):
        assert str(inspect.signature(getattr(tm, method))) == "(self, /)"
        assert getattr(tm, method).__doc__.strip()
    for prop in ("running_count", "total_count", "timer_count", "async_task_count"):
        doc = getattr(tm, prop).__doc__
        assert doc and "--" not in doc


def test_classes_are_immutable_and_not_subclassable():
    with pytest.raises(TypeError):
        varnex.TaskManager.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (varnex.TaskManager,), {})


def find_internal_error():
    found = [c for c in BaseException.__subclasses__() if c.__module__ == "varnex"]
    assert len(found) == 1
    return found[0]


def test_internal_error_derives_from_base_exception_not_exception_and_is_not_exported():
    internal = find_internal_error()
    assert internal.__name__ == "InternalError"
    assert issubclass(internal, BaseException)
    assert not issubclass(internal, Exception)
    assert internal not in vars(varnex).values()
    assert "InternalError" not in dir(varnex)


def test_import_starts_no_thread():
    code = (
        "import os\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import varnex\n"
        "varnex.get_task_manager()\n"
        "after = len(os.listdir('/proc/self/task'))\n"
        "print(before, after)\n"
    )
    out = run_child(code)
    before, after = map(int, out.stdout.split())
    assert after == before


def test_the_module_refuses_to_load_in_a_sub_interpreter_and_keeps_working_in_the_main_one():
    # A timer started from a sub-interpreter would outlive it, calling its dead code from the
    # main interpreter: the import itself must fail there, on every supported version.
    result = run_child(
        """
        import _testcapi, os, sys, tempfile
        path = os.path.join(tempfile.mkdtemp(), "outcome")
        code = (
            "try:\\n"
            "    import varnex\\n"
            "    outcome = 'imported'\\n"
            "except ImportError as error:\\n"
            "    outcome = 'ImportError: ' + str(error)\\n"
            f"open({path!r}, 'w').write(outcome)\\n"
        )
        _testcapi.run_in_subinterp(code)
        print(open(path).read())
        import varnex
        print(varnex.run_async(lambda: 42)().wait(timeout_ms=5000))
        """
    )
    outcome, answer = result.stdout.splitlines()
    assert outcome == "ImportError: varnex can only be imported in the main interpreter, not in a sub-interpreter"
    assert answer == "42"
