"""Helpers for the shutdown tests: child processes that receive real signals at the right moment.

A shutdown wait sees only signals that arrive while its listeners exist. A child therefore
starts `announce_when_listening()` before it calls the wait: a thread that watches the
process's signal handlers (through sigaction) and prints "listening" once the module has
installed its own for SIGINT and SIGTERM (SIGTERM's is installed second, so by then both
listeners of the first wait exist). The parent reads that line and only then sends the signal.
"""

import os
import subprocess
import textwrap
import time

import child_support

HERE = os.path.dirname(os.path.abspath(__file__))

# Code run at the top of each child: the watcher.
CHILD_PRELUDE = textwrap.dedent(
    """
    import ctypes, os, signal, sys, threading, time

    _libc = ctypes.CDLL(None, use_errno=True)

    def _handler_address(signo):
        # struct sigaction starts with the handler pointer; 256 bytes cover the whole struct.
        buf = ctypes.create_string_buffer(256)
        if _libc.sigaction(signo, None, buf) != 0:
            raise OSError(ctypes.get_errno(), "sigaction")
        return ctypes.c_void_p.from_buffer(buf).value

    def announce_when_listening():
        before = {s: _handler_address(s) for s in (signal.SIGINT, signal.SIGTERM)}
        def watch():
            while any(_handler_address(s) == before[s] for s in before):
                time.sleep(0.002)
            time.sleep(0.05)
            print("listening", flush=True)
        threading.Thread(target=watch, daemon=True).start()
    """
)


def start_child(code):
    """A child Python process running CHILD_PRELUDE + code, with pipes for stdout and stderr."""
    return child_support.start_child(CHILD_PRELUDE + textwrap.dedent(code))


def signal_when_listening(proc, signo, timeout=30, repeat_every=None):
    """Waits for the child's "listening" line, sends `signo`, and returns (rc, stdout, stderr).

    With `repeat_every` (seconds) the signal is sent again at that pace until the child ends:
    for children with several waits, whose listeners cannot all be seen from outside.
    """
    line = child_support.read_line(proc.stdout, timeout)
    if line != "listening":
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError(f"child did not start listening: {line!r}{out!r}\nstderr: {err}")
    proc.send_signal(signo)
    if repeat_every is not None:
        deadline = time.monotonic() + timeout
        while proc.poll() is None and time.monotonic() < deadline:
            try:
                proc.wait(timeout=repeat_every)
            except subprocess.TimeoutExpired:
                proc.send_signal(signo)
    return finish_child(proc, timeout, "after the signal")


def finish_child(proc, timeout, when=""):
    """Waits for the child to end: (rc, stdout, stderr); kills it and fails after `timeout` s."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError(f"child still running {timeout} s {when}\nstdout: {out}\nstderr: {err}") from None
    return proc.returncode, out, err


def run_child(code, timeout=30):
    """Runs a child to its end: (rc, stdout, stderr)."""
    return finish_child(start_child(code), timeout, "after its start")
