"""Receives of both kinds on one device (those that keep the GIL and recv, which releases it), and
receives and sends under a storm of signals whose handler raises, on a real bus (vcan1).

Each case runs in a child process bounded by a time limit, so that a deadlock fails the test
instead of hanging the run."""

import os
import select
import subprocess
import time

import pytest
from can_support import requires_can
from child_support import read_line, run_child, start_child

pytestmark = requires_can

BUS = "vcan1"

# Generous for the emulated test machine: each call must end within its own time-out plus this.
MARGIN = 1.5

MIXED_RECEIVES = {
    # A precision timer polls the device while the main thread waits in recv; then Ctrl+C must
    # still end a recv without limit.
    "timer_try_receive_beside_recv": """
        import os, signal, threading, time, varnex
        dev = varnex.CanDeviceNonBlocking('vcan1')
        polls = []
        handle = varnex.precision_timer(200.0)(lambda: polls.append(dev.try_receive()))()
        time.sleep(0.1)
        start = time.monotonic()
        print('recv', dev.recv(1.0), round(time.monotonic() - start, 2), flush=True)
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            dev.recv(None)
        except KeyboardInterrupt:
            print('interrupted', flush=True)
        handle.stop()
        print('polled', len(polls) > 0)
    """,
    # Another thread waits in receive_timeout while the main thread waits in recv.
    "thread_receive_timeout_beside_recv": """
        import threading, time, varnex
        dev = varnex.CanDeviceNonBlocking('vcan1')
        start = time.monotonic()
        def other():
            print('receive_timeout', dev.receive_timeout(300), round(time.monotonic() - start, 2), flush=True)
        threading.Timer(0.1, other).start()
        print('recv', dev.recv(0.5), round(time.monotonic() - start, 2), flush=True)
    """,
    # Another thread waits in CanDevice.receive while the main thread waits in recv, and a peer
    # thread of this process sends a numbered frame every 50 ms.
    "thread_receive_beside_recv_with_a_peer_thread": """
        import threading, time, varnex
        from can_support import CanPeer
        dev = varnex.CanDevice('vcan1')
        peer = CanPeer('vcan1')
        def send_frames():
            for i in range(10):
                peer.send(0x100 + i, bytes([i]))
                time.sleep(0.05)
        got = []
        other = threading.Timer(0.1, lambda: got.append(dev.receive()))
        other.start()
        threading.Timer(0.2, send_frames).start()
        start = time.monotonic()
        first = dev.recv(1.0)
        print('recv', first is not None, round(time.monotonic() - start, 2) < 1.0, flush=True)
        other.join()
        rest = []
        while (frame := dev.recv(1.0)) is not None:
            rest.append(frame)
        ids = sorted(f[0] for f in [first] + got + rest)
        print('frames', ids == list(range(0x100, 0x10A)), ids)
    """,
}


@pytest.mark.parametrize("case", sorted(MIXED_RECEIVES))
def test_receives_that_keep_the_gil_beside_recv_finish_within_their_time_outs(case):
    result = run_child(MIXED_RECEIVES[case], timeout=60)
    lines = dict(line.partition(" ")[::2] for line in result.stdout.splitlines())
    if case == "timer_try_receive_beside_recv":
        got, took = lines["recv"].rsplit(" ", 1)
        assert got == "None" and 1.0 <= float(took) < 1.0 + MARGIN
        assert "interrupted" in result.stdout and lines["polled"] == "True"
    elif case == "thread_receive_timeout_beside_recv":
        got, took = lines["recv"].rsplit(" ", 1)
        assert got == "None" and 0.5 <= float(took) < 0.5 + MARGIN
        # Its turn came once recv was done; its own time-out counts from there.
        got, took = lines["receive_timeout"].rsplit(" ", 1)
        assert got == "None" and 0.8 <= float(took) < 0.8 + MARGIN
    else:
        assert lines["recv"] == "True True"
        assert lines["frames"].startswith("True"), lines["frames"]


# The receiver of the storm tests: a SIGINT handler that raises Tick while a receive is under way
# (armed), and a loop that takes every frame until the peer's end frame (id 0x7FF). It writes
# "ready", then "+" for every 50 frames taken (the peer never runs more than 100 frames ahead, so
# no socket buffer overflows however slow the receiver is), then its counts.
STORM_RECEIVER = """
import os, signal, sys, varnex

class Tick(Exception):
    pass

armed = False

def handler(signo, frame):
    if armed:  # never in the loop's own bytecode, where nothing could catch it
        raise Tick

kind = sys.argv[1]
dev = (varnex.CanDevice if kind.startswith('CanDevice.') else varnex.CanDeviceNonBlocking)('vcan1')
receive = {
    'CanDeviceNonBlocking.receive_timeout': lambda: dev.receive_timeout(10000),
    'CanDeviceNonBlocking.recv': lambda: dev.recv(10.0),
    'CanDevice.receive': lambda: dev.receive(),
    'CanDevice.recv': lambda: dev.recv(10.0),
}[kind]
got, ticks = [], 0
signal.signal(signal.SIGINT, handler)
os.write(1, b'ready\\n')
while True:
    try:
        armed = True
        frame = receive()
        armed = False
    except Tick:
        armed = False
        ticks += 1
        continue
    if frame is None or frame[0] == 0x7FF:
        break
    got.append(frame)
    if len(got) % 50 == 0:
        os.write(1, b'+')
numbers = [int.from_bytes(data, 'little') for can_id, data in got]
os.write(1, f' {len(numbers)} {len(set(numbers))} {numbers == sorted(numbers)} {ticks}'.encode())
"""

# Sends SIGINT to a process every 2 ms until stdin closes; says "go" after the first.
SIGNALLER = """
import os, select, signal, sys, time
pid = int(sys.argv[1])
os.kill(pid, signal.SIGINT)
print('go', flush=True)
while not select.select([sys.stdin], [], [], 0.002)[0]:
    os.kill(pid, signal.SIGINT)
"""

FRAMES = 2000


class Progress:
    """What the receiver has written to its stdout, read without blocking beyond `wait`."""

    def __init__(self, proc):
        self.fd, self.text = proc.stdout.fileno(), ""

    def read(self, wait):
        if select.select([self.fd], [], [], wait)[0]:
            chunk = os.read(self.fd, 4096).decode()
            if not chunk:
                raise AssertionError(f"the receiver ended early: {self.text!r}")
            self.text += chunk

    def frames_taken(self):
        return self.text.count("+") * 50


def send_numbered_frames(count, progress):
    from can_support import CanPeer

    with CanPeer(BUS) as peer:
        for n in range(count):
            deadline = time.monotonic() + 60
            while n - progress.frames_taken() >= 100:
                assert time.monotonic() < deadline, "the receiver stopped taking frames"
                progress.read(0.5)
            peer.send(0x123, n.to_bytes(2, "little"))
            time.sleep(0.0005)
        peer.send(0x7FF, b"end")


@pytest.mark.parametrize("kind", [
    "CanDeviceNonBlocking.receive_timeout",
    "CanDeviceNonBlocking.recv",
    "CanDevice.receive",
    "CanDevice.recv",
])
def test_a_storm_of_raising_signal_handlers_loses_no_received_frame(kind):
    receiver = start_child(STORM_RECEIVER, args=[kind])
    signaller = None
    progress = Progress(receiver)
    try:
        while "ready" not in progress.text:
            progress.read(30)
        signaller = start_child(SIGNALLER, [str(receiver.pid)], stdin=subprocess.PIPE, stderr=None)
        assert read_line(signaller.stdout) == "go"
        send_numbered_frames(FRAMES, progress)
        signaller.stdin.close()
        signaller.wait(timeout=30)
        receiver.wait(timeout=60)
        progress.read(1)
    finally:
        receiver.kill()
        if signaller is not None:
            signaller.kill()
    err = receiver.stderr.read()
    assert receiver.returncode == 0, progress.text + err
    received, distinct, in_order, ticks = progress.text.split()[-4:]
    assert ticks != "0", "no signal reached the receiver"
    assert (received, in_order) == (distinct, "True"), progress.text
    # A signal that lands in the microseconds between the module's last look and the call's
    # return (here through a lambda) is CPython's to deliver after the call: such a frame is lost
    # to the program. Those are rare (about 1 in 100 signals on the test VM, against 1 in 2
    # without the look); a frame taken while a signal was already pending is never lost.
    lost = FRAMES - int(distinct)
    assert lost <= int(ticks) // 25, f"lost {lost} of {FRAMES} frames to {ticks} signals"
