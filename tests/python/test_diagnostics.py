"""set_diagnostic_handler and the timer handle's error record (children: routing is per process)."""

import json
import queue
import re
import subprocess
import time

import pytest
import varnex
from can_support import requires_can
from child_support import read_line, run_child, start_child
from fault_support import VCAN, BusNode, Flood, fault_interfaces, remove, requires_fault_injection

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
print(h.error_count >= 3, h.last_error, got[0], got[1][0], flush=True)
varnex.set_diagnostic_handler(None)
n = len(got)
settle(fail(), 2)
print(len(got) == n, flush=True)
""")
    lines = out.stdout.splitlines()
    # The first error's traceback follows it, one call per line.
    assert lines[0] == (f"True ZeroDivisionError: division by zero ('{LINE}', True) "
                        "Traceback (most recent call last):")
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
calls = [0]
@varnex.timer(50.0)
def fail_anew():  # a new text each time, so that no line is a repeat
    calls[0] += 1
    raise KeyError(calls[0])
h = fail_anew()
settle(h, 8)
print(h.error_count, flush=True)
""")
    assert re.search(rf"^{LINE}\nTraceback \(most recent call last\):\n(.*\n)*?"
                     r"ZeroDivisionError: division by zero\n\(diagnostic handler raised ValueError: no\)$",
                     out.stderr, re.M), out.stderr
    # The slow handler took at most three lines before exit; the rest were written at exit.
    produced = int(out.stdout.strip())
    assert produced >= 8
    written = re.findall(r"^Timer function error: KeyError: (\d+)$", out.stderr, re.M)
    assert len(written) >= produced - 3 and len(set(written)) == len(written)


def test_error_record_without_handler():
    with pytest.raises(TypeError, match="handler must be callable or None"):
        varnex.set_diagnostic_handler(42)
    out = run_child(WAIT + """
h = fail()
print(h.error_count, h.last_error, flush=True)
settle(h, 2)
print(h.error_count >= 2, h.last_error, flush=True)
del h
time.sleep(0.3)  # the handle goes: the last repeats are summarised
""")
    first, second = out.stdout.splitlines()
    assert first in ("0 None", "1 ZeroDivisionError: division by zero")
    assert second == "True ZeroDivisionError: division by zero"
    # The line, its traceback once, and the repeats counted rather than printed.
    err = out.stderr.splitlines()
    assert err[:2] == [LINE, "Traceback (most recent call last):"]
    assert err.count("Traceback (most recent call last):") == 1
    assert re.fullmatch(rf"{LINE}( \(\d+ similar messages suppressed\))?", err[-1]), err
    # The traceback's frame lines differ between versions (3.13 shows the source of -c code).
    assert err.index("ZeroDivisionError: division by zero") == len(err) - 2, err


LOG_CAPTURE = """
import json, logging, time, varnex
records = []
class Keep(logging.Handler):
    def emit(self, r):
        records.append([r.levelname, r.getMessage(), getattr(r, "task_id", None),
                        getattr(r, "timer", None), r.exc_text])
logging.getLogger("varnex").addHandler(Keep())
logging.getLogger("varnex").setLevel(logging.INFO)
"""


def test_log_to_gives_each_line_its_level_details_and_the_first_traceback():
    with pytest.raises(TypeError, match="logger must be a logging.Logger, a logger name or None"):
        varnex.log_to(42)
    out = run_child(WAIT + LOG_CAPTURE + """
varnex.log_to(logging.getLogger("varnex"))
dropped = fail()
dropped_id = dropped.task_id
del dropped  # dropped while running: a warning
h = fail()
deadline = time.monotonic() + 20
while h.error_count < 70 and time.monotonic() < deadline:  # more than a second of repeats
    time.sleep(0.01)
print(varnex.block_until(wait_ms=0), flush=True)
time.sleep(0.3)
print(json.dumps([h.task_id, dropped_id, h.error_count, records]), flush=True)
""")
    assert out.stdout.splitlines()[0] == "('timeout', True)"
    task_id, dropped_id, count, records = json.loads(out.stdout.splitlines()[1])
    assert "Timer function error" not in out.stderr  # all of it went to the logger
    mine = [r for r in records if r[2] == task_id]
    level, message, _, name, traceback = mine[0]
    assert (level, message, name) == ("ERROR", LINE, "fail")
    assert traceback.startswith("Traceback (most recent call last):\n")
    assert ", in fail\n" in traceback
    assert traceback.endswith("\nZeroDivisionError: division by zero")
    # Every raising call is logged or counted: a later line stands for itself and the N
    # suppressed before it. Only the first has a traceback.
    summaries = [re.fullmatch(rf"{LINE}(?: \((\d+) similar messages suppressed\))?", r[1]) for r in mine[1:]]
    assert all(summaries) and all(r[0] == "ERROR" and r[4] is None for r in mine[1:]), mine
    assert 1 <= len(summaries) <= 4
    assert len(mine) + sum(int(m.group(1) or 0) for m in summaries) == count
    assert ["WARNING", f"Warning: TimerHandle(id={dropped_id}) dropped while still running. Make sure "
            "to save the handle returned by timer-decorated functions.", dropped_id, None, None] in records
    info = [r[1] for r in records if r[0] == "INFO"]
    assert info == ["[varnex] Stopping (reason: timeout), initiating graceful shutdown...",
                    "[varnex] All tasks stopped successfully"]


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


# One Motor per runtime worker, so that on the old code every worker ended up blocked writing a
# line; the timer's calls and the feedback are counted over a few seconds with stderr full.
UNREAD_STDERR = """
import os, sys, time, varnex
motors = [varnex.Motor('vcan0', 0x100 + i) for i in range(os.cpu_count())]
devices = [m.add_device(0, 0x201, 'speed') for m in motors]
calls = [0]
@varnex.timer(100.0)
def tick():
    calls[0] += 1
handle = tick()
print('ready', flush=True)
sys.stdin.readline()  # the flood has filled the pipe by now
c0, f0 = calls[0], devices[0].feedback_count
time.sleep(3)
print(calls[0] - c0, devices[0].feedback_count - f0, flush=True)
sys.stdin.readline()
"""


@requires_can
def test_a_full_stderr_stops_no_timer_and_no_feedback_and_the_loss_is_counted():
    child = start_child(UNREAD_STDERR, stdin=subprocess.PIPE)
    try:
        assert read_line(child.stdout) == "ready"
        # Frames of a wrong length from other nodes, a line on stderr per id and second (2,000
        # ids: far more lines than the pipe and the queue hold), and a driver's feedback.
        with Flood("vcan0", 0x10000, ids=2000), BusNode("vcan0", 0x201, hears=0x100, period=0.01):
            time.sleep(2)
            child.stdin.write("\n")
            child.stdin.flush()
            calls, frames = map(int, read_line(child.stdout).split())
        child.stdin.write("\n")
        child.stdin.close()
        err = child.stderr.read()  # only now is the pipe read
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()
    assert calls >= 100, calls  # 300 expected in 3 s
    assert frames >= 100, frames  # about 300
    assert re.search(r"^Warning: ignoring CAN frame 0x10[0-7][0-9A-F]{2} with unexpected length 5$", err, re.M)
    assert re.search(r"^\d+ diagnostic lines dropped: standard error is full$", err, re.M), err[-2000:]
