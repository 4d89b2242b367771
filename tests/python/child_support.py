"""The one copy of the test helpers for child processes and waits.

Children import the same varnex as the test process (and the helpers in this folder), so a test
never runs against an installed copy by accident.
"""

import os
import queue
import subprocess
import sys
import textwrap
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def child_env():
    """The environment for a child that must import the same varnex as this process."""
    import varnex

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(varnex.__file__), HERE])
    return env


def run_child(code, timeout=60, check=True, **popen):
    """Runs `code` (dedented) in a fresh interpreter to its end; its CompletedProcess.

    With `check`, a non-zero exit fails the test with the child's output.
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout, env=child_env(), **popen)
    if check and result.returncode != 0:
        raise AssertionError(f"child exited {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result


def start_child(code, args=(), **popen):
    """A child running `code` (dedented) with `args` in sys.argv, with text pipes for stdout and stderr."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=child_env(), **popen)


def line_reader(stream):
    """A queue that a daemon thread fills with the lines of `stream`, so waits can be bounded."""
    lines = queue.Queue()

    def pump():
        for line in stream:
            lines.put(line.rstrip("\n"))

    threading.Thread(target=pump, daemon=True).start()
    return lines


def wait_for(predicate, timeout=10.0):
    """True once `predicate()` holds, False after `timeout` s. For states nothing signals (a
    count that changes on another thread), so it looks every few milliseconds."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


# Code a child runs first to lose the right to real-time scheduling, as root would lose it: no
# rtprio limit, CAP_SYS_NICE dropped from the bounding set and from its own sets (capset).
DROP_REALTIME_RIGHT = textwrap.dedent(
    """
    import ctypes, resource
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))
    _libc = ctypes.CDLL(None, use_errno=True)
    _CAP_SYS_NICE, _PR_CAPBSET_DROP = 23, 24
    _libc.prctl(_PR_CAPBSET_DROP, _CAP_SYS_NICE, 0, 0, 0)
    class _Header(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]
    class _Data(ctypes.Structure):
        _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32),
                    ("inheritable", ctypes.c_uint32)]
    _header, _data = _Header(0x20080522, 0), (_Data * 2)()
    if _libc.capget(ctypes.byref(_header), _data) != 0:
        raise OSError(ctypes.get_errno(), "capget")
    _low = _data[0]  # capabilities 0-31
    _low.effective &= ~(1 << _CAP_SYS_NICE)
    _low.permitted &= ~(1 << _CAP_SYS_NICE)
    _low.inheritable &= ~(1 << _CAP_SYS_NICE)
    if _libc.capset(ctypes.byref(_header), _data) != 0:
        raise OSError(ctypes.get_errno(), "capset")
    """
)
