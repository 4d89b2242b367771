"""The decorators on methods: binding through an instance and the wrapped function's identity."""

import inspect
import threading

import pytest
import varnex


class Robot:
    def __init__(self):
        self.calls = []
        self.called = threading.Event()

    @varnex.run_async
    def scaled(self, x, factor=2):
        """Scale x in the background."""
        return (self, x * factor)

    @varnex.timer(200.0)
    def tick(self, label):
        """One control step."""
        self.calls.append((self, label))
        self.called.set()

    @varnex.precision_timer(200.0)
    def fast_tick(self):
        self.calls.append((self, "fast"))
        self.called.set()


def test_a_background_method_receives_its_instance():
    robot = Robot()
    assert robot.scaled(21).wait(timeout_ms=60000) == (robot, 42)
    assert Robot.scaled(robot, 1, 3).wait(timeout_ms=60000) == (robot, 3)


@pytest.mark.parametrize("name, args, label", [("tick", ("n",), "n"), ("fast_tick", (), "fast")])
def test_a_timer_method_ticks_with_its_instance(name, args, label):
    robot = Robot()
    handle = getattr(robot, name)(*args)
    try:
        assert robot.called.wait(60)
    finally:
        handle.stop()
    assert robot.calls[0] == (robot, label)


@pytest.mark.parametrize("name, cls", [("scaled", varnex.RunAsync), ("tick", varnex.TimerWrapper),
                                       ("fast_tick", varnex.TimerWrapper)])
def test_wrappers_carry_the_functions_identity_and_bind_like_functions(name, cls):
    wrapper = Robot.__dict__[name]
    func = wrapper.__wrapped__
    assert type(wrapper) is cls and inspect.isfunction(func)
    assert getattr(Robot, name) is wrapper
    for attr in ("__name__", "__qualname__", "__doc__", "__module__"):
        assert getattr(wrapper, attr) == getattr(func, attr), attr
    assert (wrapper.__name__, wrapper.__qualname__) == (name, f"Robot.{name}")
    assert inspect.signature(wrapper) == inspect.signature(func)
    robot = Robot()
    bound = getattr(robot, name)
    assert (bound.__self__, bound.__func__) == (robot, wrapper)
    assert list(inspect.signature(bound).parameters) == list(inspect.signature(func).parameters)[1:]
    # The classes keep their own documentation.
    assert cls.__doc__.startswith(("后台任务装饰器", "被包装的定时器函数"))
