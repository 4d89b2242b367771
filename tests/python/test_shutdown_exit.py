"""Exit safety: a process that exits while background calls run never crashes or hangs.

At exit some calls are inside Python, some wait for the GIL, and another thread waits in
block_until. The interpreter finalizes under them; the process must end promptly with the exit
status the program chose. The single run is part of the normal suite; the 50-fold repetition is
marked slow (pytest -m slow).
"""

import sys

import pytest
from shutdown_support import run_child

# CPython 3.10 itself crashes now and then when a process exits while daemon threads run Python
# code (a thread taking the GIL back reads the freed interpreter): plain threading.Thread
# daemons doing what CHILD's calls do ended with SIGSEGV in 2 of 200 runs there, none on 3.11.
# On 3.10 these tests could not tell the module's crashes from the interpreter's.
cpython_exit_crash = pytest.mark.skipif(
    sys.version_info < (3, 11), reason="CPython 3.10 crashes at exit under running daemon threads")

CHILD = """
import varnex

def spin():
    x = 0
    while True:  # inside Python, passing the GIL around with the others
        x += 1

def nap():
    while True:
        time.sleep(0.001)

def crunch():
    return sum(range(10**6))

handles = [varnex.run_async(f)() for f in (spin, spin, nap, nap, crunch, crunch, crunch, crunch)]
waiter = threading.Thread(target=varnex.block_until, kwargs={{"wait_ms": 60000}}, daemon=True)
waiter.start()
time.sleep({delay})
print("exiting", flush=True)
sys.exit(3)
"""


def exit_once(delay):
    rc, out, err = run_child(CHILD.format(delay=delay), timeout=60)
    assert out == "exiting\n"
    assert rc == 3, err
    assert "Fatal Python error" not in err and "terminate" not in err, err


@cpython_exit_crash
def test_exit_while_background_calls_and_a_shutdown_wait_run():
    exit_once(0.05)


@cpython_exit_crash
@pytest.mark.slow
@pytest.mark.parametrize("run", range(50))
def test_exit_while_background_calls_run_repeated(run):
    exit_once((run % 10) * 0.01)
