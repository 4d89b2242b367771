"""The timer decorators' Python surface: validation order and messages, reprs, signatures."""

import functools
import inspect

import pytest
import varnex


class Hz:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __index__(self):
        return 50


def test_frequency_must_be_positive_for_every_constructor():
    for make in (varnex.timer, varnex.Timer, varnex.precision_timer, varnex.PrecisionTimer):
        for bad in (0, -5.0, 0.0, -0.0, float("-inf")):
            with pytest.raises(ValueError) as info:
                make(bad)
            assert str(info.value) == "frequency_hz must be positive"
    with pytest.raises(ValueError, match="^frequency_hz must be positive$"):
        varnex.precision_timer(-1.0, realtime=False)  # positivity is checked first


def test_high_precision_limit_is_10khz_without_realtime():
    assert repr(varnex.precision_timer(10000.0)(print)) == "TimerWrapper(frequency=10000Hz, mode=high)"
    for make in (varnex.precision_timer, varnex.PrecisionTimer):
        with pytest.raises(ValueError) as info:
            make(10000.001)
        assert str(info.value) == "frequency > 10kHz requires realtime=True"
    assert repr(varnex.PrecisionTimer(20000.0, realtime=True)(print)) == "TimerWrapper(frequency=20000Hz, mode=realtime)"


def test_frequency_conversion_follows_float():
    assert repr(varnex.timer(10)(print)) == "TimerWrapper(frequency=10Hz, mode=normal)"
    assert repr(varnex.timer(Hz(2.5))(print)) == "TimerWrapper(frequency=2.5Hz, mode=normal)"
    assert repr(varnex.precision_timer(Index())(print)) == "TimerWrapper(frequency=50Hz, mode=high)"
    assert repr(varnex.precision_timer(True)(print)) == "TimerWrapper(frequency=1Hz, mode=high)"
    for make in (varnex.timer, varnex.precision_timer):
        with pytest.raises(TypeError, match="frequency_hz"):
            make("10")
        with pytest.raises(TypeError, match="frequency_hz"):
            make(None)


def test_realtime_accepts_only_bool():
    assert repr(varnex.precision_timer(100.0, True)(print)) == "TimerWrapper(frequency=100Hz, mode=realtime)"
    assert repr(varnex.PrecisionTimer(100.0, realtime=False)(print)) == "TimerWrapper(frequency=100Hz, mode=high)"
    for bad in (1, 0, "yes", None):
        with pytest.raises(TypeError, match="realtime"):
            varnex.precision_timer(100.0, realtime=bad)
    # Conversion errors come before the value checks.
    with pytest.raises(TypeError, match="realtime"):
        varnex.precision_timer(-1.0, realtime=1)


def test_spin_is_fixed_or_adaptive_and_checked_after_the_frequency():
    for make in (varnex.precision_timer, varnex.PrecisionTimer):
        assert repr(make(100.0, spin="adaptive")(print)) == "TimerWrapper(frequency=100Hz, mode=high)"
        assert repr(make(100.0, True, "adaptive")(print)) == "TimerWrapper(frequency=100Hz, mode=realtime)"
        assert repr(make(100.0, spin="fixed")(print)) == "TimerWrapper(frequency=100Hz, mode=high)"
        with pytest.raises(ValueError) as info:
            make(100.0, spin="auto")
        assert str(info.value) == "spin must be 'fixed' or 'adaptive'"
        with pytest.raises(TypeError, match="spin"):
            make(100.0, spin=None)
        with pytest.raises(ValueError, match="^frequency > 10kHz requires realtime=True$"):
            make(20000.0, spin="auto")
    handle = varnex.precision_timer(100.0, realtime=True, spin="adaptive")(print)()
    handle.stop()
    assert handle.precision_mode() == "realtime"


def test_argument_binding_errors():
    with pytest.raises(TypeError):
        varnex.timer()
    with pytest.raises(TypeError):
        varnex.timer(10.0, 20.0)
    with pytest.raises(TypeError):
        varnex.timer(frequency=10.0)
    with pytest.raises(TypeError):
        varnex.precision_timer(100.0, rt=True)
    assert repr(varnex.timer(frequency_hz=5)(print)) == "TimerWrapper(frequency=5Hz, mode=normal)"
    assert repr(varnex.Timer(10.0)(func=print)) == "TimerWrapper(frequency=10Hz, mode=normal)"
    with pytest.raises(TypeError):
        varnex.Timer(10.0)()


def test_decorating_requires_a_callable():
    with pytest.raises(TypeError) as info:
        varnex.timer(10.0)(42)
    assert str(info.value) == "timer decorator requires a callable"
    with pytest.raises(TypeError) as info:
        varnex.PrecisionTimer(10.0)("f")
    assert str(info.value) == "precision_timer decorator requires a callable"

    class Thing:
        def method(self):
            pass

    for func in (lambda: None, Thing, Thing().method, functools.partial(print, 1), print):
        assert type(varnex.timer(10.0)(func)) is varnex.TimerWrapper


@pytest.mark.parametrize(
    "frequency, text",
    [
        (10.0, "10"),
        (2.5, "2.5"),
        (1e-7, "0.0000001"),
        (1e21, "1000000000000000000000"),
        (0.1, "0.1"),
        (123456.789, "123456.789"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
    ],
)
def test_wrapper_repr_shows_the_shortest_round_trip_decimal(frequency, text):
    wrapper = varnex.precision_timer(frequency, realtime=True)(print)
    assert repr(wrapper) == f"TimerWrapper(frequency={text}Hz, mode=realtime)"


def test_one_decorator_makes_independent_wrappers_and_each_call_a_new_timer():
    decorator = varnex.timer(50.0)
    first, second = decorator(print), decorator(len)
    assert first is not second
    a, b = varnex.timer(50.0)(lambda: None)(), varnex.timer(50.0)(lambda: None)()
    try:
        assert type(a.task_id) is int and a.task_id != b.task_id
    finally:
        a.stop()
        b.stop()


def test_handle_surface_and_repr():
    handle = varnex.precision_timer(99.96)(lambda: None)()
    try:
        assert handle.tick_count() in (0, 1, 2)
        assert type(handle.actual_frequency()) is float
        assert handle.frequency() == 99.96
        assert isinstance(vars(varnex.TimerHandle)["task_id"], type(varnex.TimerHandle.task_id))
        with pytest.raises(AttributeError):
            handle.task_id = 3
        assert handle.precision_mode() == "high"
    finally:
        handle.stop()
    text = repr(handle)
    prefix = f"TimerHandle(id={handle.task_id}, freq=100.0Hz, actual="
    assert text.startswith(prefix) and text.endswith(f"Hz, mode=high, ticks={handle.tick_count()}, running=false)")
    actual = text[len(prefix):].split("Hz")[0]
    assert actual == format(float(actual), ".1f")


def test_classes_without_constructor_and_signatures():
    for cls in (varnex.TimerHandle, varnex.TimerWrapper):
        with pytest.raises(TypeError):
            cls()
    assert str(inspect.signature(varnex.timer)) == "(frequency_hz)"
    assert str(inspect.signature(varnex.precision_timer)) == "(frequency_hz, realtime=False, spin='fixed', *, priority=None, cpu=None)"
    assert str(inspect.signature(varnex.Timer)) == "(frequency_hz)"
    assert str(inspect.signature(varnex.PrecisionTimer)) == "(frequency_hz, realtime=False, spin='fixed', *, priority=None, cpu=None)"
    for name in ("stop", "is_running", "frequency", "precision_mode", "tick_count", "actual_frequency", "elapsed_secs"):
        assert str(inspect.signature(getattr(varnex.TimerHandle, name))) == "(self, /)"
