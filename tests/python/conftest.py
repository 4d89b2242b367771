"""Fixtures shared by the test modules."""
import threading

import pytest


@pytest.fixture
def gate():
    """An event a background function waits on; always opened at the end of the test."""
    event = threading.Event()
    yield event
    event.set()
