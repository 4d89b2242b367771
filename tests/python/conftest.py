"""Fixtures shared by the test modules."""
import signal
import threading

import pytest


@pytest.fixture
def gate():
    """An event a background function waits on; always opened at the end of the test."""
    event = threading.Event()
    yield event
    event.set()


class Alarm(Exception):
    """Raised in the main thread by the handler that `raising_alarm` arms."""


@pytest.fixture
def raising_alarm():
    """`raising_alarm(seconds, on_alarm=None)` arms SIGALRM once: after `seconds` its handler runs
    `on_alarm()` (when given) and raises `raising_alarm.Alarm` in the main thread, which ends the
    blocking call the test is in. The timer is disarmed and the previous handler restored at the
    end of the test."""
    previous = signal.getsignal(signal.SIGALRM)

    def arm(seconds, on_alarm=None):
        def handler(signo, frame):
            if on_alarm is not None:
                on_alarm()
            raise Alarm

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, seconds)

    arm.Alarm = Alarm
    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
