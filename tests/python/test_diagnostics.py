"""set_diagnostic_handler and the timer handle's error record (children: routing is per process)."""

import queue

import pytest

import varnex
from fault_support import VCAN, fault_interfaces, remove, requires_fault_injection
from child_support import run_child

LINE = "Timer function error: ZeroDivisionError: division by zero"

# Waits until `handle` counted `n` raising calls, then stops it.
WAIT = """
import time, threading, varnex
def settle(handle, n):
    deadline = time.monotonic() + 20
    while handle.error_count < n and time.monotonic() < deadline:
        time.sleep(0.01)
    handle.stop()
    time.sleep(0.3)
@varnex.timer(50.0)
def fail():
    1 / 0
"""


def test_handler_gets_the_lines_and_none_restores_stderr():
    out = run_child(WAIT + """
got = []
def handler(line):
    varnex.get_task_manager()  # a handler may call into the module
    got.append((line, threading.current_thread() is not threading.main_thread()))
varnex.set_diagnostic_handler(handler)
h = fail()
settle(h, 3)
print(h.error_count >= 3, h.last_error, len(got) >= 3, set(got[:3]), flush=True)
varnex.set_diagnostic_handler(None)
n = len(got)
settle(fail(), 2)
print(len(got) == n, flush=True)
""")
    lines = out.stdout.splitlines()
    assert lines[0] == f"True ZeroDivisionError: division by zero True {{('{LINE}', True)}}"
    assert lines[1] == "True"
    # Only the calls after None reached fd 2.
    assert LINE in out.stderr


def test_raising_handler_and_lines_pending_at_exit_fall_back_to_stderr():
    out = run_child(WAIT + """
def bad(line):
    raise ValueError("no")
varnex.set_diagnostic_handler(bad)
settle(fail(), 2)
def slow(line):
    time.sleep(0.5)
varnex.set_diagnostic_handler(slow)
h = fail()
settle(h, 8)
print(h.error_count, flush=True)
""")
    assert f"{LINE}\n(diagnostic handler raised ValueError: no)" in out.stderr
    # The slow handler took at most three lines before exit; the rest were written at exit.
    produced = int(out.stdout.strip())
    assert produced >= 8
    assert out.stderr.count(LINE) >= 2 + produced - 3


def test_error_record_without_handler():
    with pytest.raises(TypeError, match="handler must be callable or None"):
        varnex.set_diagnostic_handler(42)
    out = run_child(WAIT + """
h = fail()
print(h.error_count, h.last_error, flush=True)
settle(h, 2)
print(h.error_count >= 2, h.last_error, flush=True)
""")
    first, second = out.stdout.splitlines()
    assert first in ("0 None", "1 ZeroDivisionError: division by zero")
    assert second == "True ZeroDivisionError: division by zero"


@requires_fault_injection
def test_interface_fault_line_reaches_the_handler():
    lines = queue.Queue()
    gone = f"[CAN] Interface '{VCAN}' is gone; its socket will be reopened when it is back"
    with fault_interfaces():
        device = varnex.CanDeviceNonBlocking(VCAN)
        varnex.set_diagnostic_handler(lines.put)
        try:
            remove(VCAN)
            device.send(0x123, b"\x01")
            received = []
            while gone not in received:
                try:
                    received.append(lines.get(timeout=60))
                except queue.Empty:
                    pytest.fail(f"no gone line in {received}")
        finally:
            varnex.set_diagnostic_handler(None)
