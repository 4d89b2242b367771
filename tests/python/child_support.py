"""The one copy of the test helpers for child processes and waits.

Children import the same varnex as the test process (and the helpers in this folder), so a test
never runs against an installed copy by accident.
"""

import os
import select
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def child_env():
    """The environment for a child that must import the same varnex as this process."""
    import varnex

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(varnex.__file__), HERE])
    return env


def run_child(code, timeout=60, check=True, args=(), options=(), env=None, **popen):
    """Runs `code` (dedented) in a fresh interpreter to its end; its CompletedProcess.

    `args` go to sys.argv, `options` to the interpreter before "-c" ("-X", "dev"); `env` replaces
    child_env() for a child that needs an environment of its own. With `check`, a non-zero exit
    fails the test with the child's output.
    """
    result = subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code), *args],
                            capture_output=True, text=True, timeout=timeout,
                            env=child_env() if env is None else env, **popen)
    if check and result.returncode != 0:
        raise AssertionError(f"child exited {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result


def start_python(argv, env=None, **popen):
    """A child interpreter run with `argv` (a script, "-m module" or "-c code", and their
    arguments), with text pipes for stdout and stderr unless `popen` says otherwise (stderr=None
    leaves the child the test's own); `env` replaces child_env()."""
    popen = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, **popen}
    return subprocess.Popen([sys.executable, *argv], env=child_env() if env is None else env, **popen)


def start_child(code, args=(), **popen):
    """A child running `code` (dedented) with `args` in sys.argv, as start_python starts it."""
    return start_python(["-c", textwrap.dedent(code), *args], **popen)


def read_line(stream, timeout=60.0):
    """The next line of a child's pipe without its line feed; None when the pipe ends or no whole
    line comes within `timeout` s.

    The pipe's descriptor is read a byte at a time, so nothing past the line is taken from it: the
    rest stays for the next read_line, communicate() or read(). (readline() after a select()
    misses lines it has already buffered, and communicate() after it loses them.)
    """
    fd = stream.fileno()
    end = time.monotonic() + timeout
    line = bytearray()
    while True:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        byte = os.read(fd, 1)
        if byte in (b"\n", b""):
            if not byte and not line:
                return None
            return line.decode(getattr(stream, "encoding", None) or "utf-8")
        line += byte


def read_until(proc, wanted, timeout=60.0):
    """Reads the child's stdout until a line starts with `wanted` (end it with a line feed to match
    a whole line) and returns that line; kills the child and fails with what it printed when no
    such line comes within `timeout` s."""
    seen = []
    end = time.monotonic() + timeout
    while (line := read_line(proc.stdout, end - time.monotonic())) is not None:
        if (line + "\n").startswith(wanted):
            return line
        seen.append(line)
    proc.kill()
    out, err = proc.communicate()
    raise AssertionError(f"no line starting {wanted!r}: {seen}{out!r}\nstderr: {err}")


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
