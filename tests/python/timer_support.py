"""Helpers for the timer tests: thread names, signal masks and timer slack."""

import ctypes
import os
import threading


def current_thread_os_name():
    """The name the OS shows for the calling thread (at most 15 bytes)."""
    with open(f"/proc/self/task/{threading.get_native_id()}/comm") as f:
        return f.read().rstrip("\n")


def os_thread_names():
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().rstrip("\n"))
        except FileNotFoundError:
            pass  # the thread ended meanwhile
    return names


def current_thread_blocked_signals():
    """The signal numbers blocked on the calling thread (from SigBlk in /proc)."""
    with open(f"/proc/self/task/{threading.get_native_id()}/status") as f:
        for line in f:
            if line.startswith("SigBlk:"):
                mask = int(line.split()[1], 16)
                return {n for n in range(1, 65) if mask >> (n - 1) & 1}
    return set()


def current_thread_timer_slack_ns():
    """The calling thread's timer slack (prctl PR_GET_TIMERSLACK)."""
    return ctypes.CDLL(None, use_errno=True).prctl(30, 0, 0, 0, 0)
