"""Fault injection for the CAN tests: interfaces of their own, link and transmit-queue faults,
a flooding node and a measuring node. Needs root, `ip` and `tc` (the test VM has them).

    with fault_interfaces():                  # vcanf0 and the vxcan pair vxf0/vxf1, removed after
        fault = FAULTS["link_down"]           # or link_recreated, tx_full, tx_stalled
        fault.inject(); ...; fault.restore()  # the device side is fault.device_side
    with Flood("vcan1", 0x7E5): ...           # another process floods the bus with one id

Every interface and qdisc a test changes is put back, or removed, by fault_interfaces().
"""

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest
from can_support import CanPeer, _MarkList, can_available, pack_frame
from child_support import read_line, start_child

VCAN = "vcanf0"
VXCAN = ("vxf0", "vxf1")  # the device's end, the other node's end

requires_fault_injection = _MarkList([pytest.mark.can, pytest.mark.skipif(
    not can_available() or os.geteuid() != 0 or not (shutil.which("ip") and shutil.which("tc")),
    reason="injects link and queue faults: needs SocketCAN, root, ip and tc (as in the test VM)",
)])


def run(*argv):
    subprocess.run(argv, check=True, capture_output=True, text=True)


def exists(name):
    return os.path.exists(f"/sys/class/net/{name}")


def add_vcan(name):
    run("ip", "link", "add", name, "up", "type", "vcan")


def add_vxcan_pair(ours, theirs):
    run("ip", "link", "add", ours, "type", "vxcan", "peer", "name", theirs)
    run("ip", "link", "set", ours, "up")
    run("ip", "link", "set", theirs, "up")


def remove(name):
    if exists(name):
        run("ip", "link", "del", name)


@contextlib.contextmanager
def fault_interfaces():
    """vcanf0 and the vxcan pair, fresh and up; removed afterwards whatever a fault left."""
    for name in (VCAN, VXCAN[0]):
        remove(name)
    add_vcan(VCAN)
    add_vxcan_pair(*VXCAN)
    try:
        yield
    finally:
        remove(VCAN)
        remove(VXCAN[0])  # takes its peer along


class Fault:
    """One fault: inject() starts it, restore() ends it; the other node reopens its socket after
    restore() when `recreates` (its interface was replaced)."""

    device_side = VCAN
    node_side = VCAN
    recreates = False

    def inject(self):
        raise NotImplementedError

    def restore(self):
        raise NotImplementedError


class LinkDown(Fault):
    def inject(self):
        run("ip", "link", "set", VCAN, "down")

    def restore(self):
        run("ip", "link", "set", VCAN, "up")


class LinkRecreated(Fault):
    """The interface unplugged and plugged back: deleted, then a new one of the same name."""

    recreates = True

    def inject(self):
        run("ip", "link", "del", VCAN)

    def restore(self):
        add_vcan(VCAN)


class TxFull(Fault):
    """The device's transmit queue holds three frames and refuses more (ENOBUFS). On the device's
    end of a vxcan pair, so the other node's frames still reach it."""

    device_side, node_side = VXCAN

    def inject(self):
        run("tc", "qdisc", "add", "dev", VXCAN[0], "root", "plug", "limit", "48")

    def restore(self):
        run("tc", "qdisc", "del", "dev", VXCAN[0], "root")


class TxStalled(Fault):
    """The device's transmit queue holds every frame (no ACK on a real bus): the socket's send
    buffer fills and writes wait for room. Released, the held frames go out."""

    device_side, node_side = VXCAN

    def __init__(self):
        self.added = False

    def inject(self):
        if self.added:
            run("tc", "qdisc", "change", "dev", VXCAN[0], "root", "plug", "block")
        else:
            run("tc", "qdisc", "add", "dev", VXCAN[0], "root", "plug", "limit", "100000000")
            self.added = True

    def restore(self):
        run("tc", "qdisc", "change", "dev", VXCAN[0], "root", "plug", "release_indefinite")

    def held(self):
        """How many frames the queue holds."""
        out = subprocess.run(["tc", "-s", "qdisc", "show", "dev", VXCAN[0]], check=True,
                             capture_output=True, text=True).stdout
        words = out.split()
        return int(words[words.index("backlog") + 2].rstrip("p"))


FAULTS = {"link_down": LinkDown, "link_recreated": LinkRecreated, "tx_full": TxFull,
          "tx_stalled": TxStalled}


FLOOD = """
import socket, sys
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((sys.argv[1],))
records = [bytes.fromhex(r) for r in sys.argv[2].split(",")]
print("flooding", flush=True)
while True:
    for record in records:
        try:
            s.send(record)
        except OSError:
            pass
"""


class Flood:
    """Another process that sends (can_id, data) frames on `interface` as fast as it can, with
    `ids` ids in turn from can_id up; it can be paused and resumed."""

    def __init__(self, interface, can_id, data=b"flood", ids=1):
        records = ",".join(pack_frame(can_id + k, data).hex() for k in range(ids))
        self._proc = start_child(FLOOD, [interface, records], stderr=None)
        if read_line(self._proc.stdout) != "flooding":
            self.close()
            raise AssertionError("the flooding process did not start")

    def pause(self):
        self._proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self._proc.send_signal(signal.SIGCONT)

    def close(self):
        self._proc.kill()
        self._proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class BusNode:
    """The other node of a faulted bus: sends `can_id` frames every `period` seconds (a counter
    in the first byte, so that each one differs), and records when it hears `hears`.

    It notes its own write errors and, after reopen(), works on a recreated interface.
    """

    def __init__(self, interface, can_id, hears, period=0.01):
        self.interface = interface
        self.can_id = can_id
        self.hears = hears
        self.period = period
        self.heard = []  # monotonic times
        self._lock = threading.Lock()
        self._peer = CanPeer(interface, ids=[hears])
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=f, daemon=True) for f in (self._talk, self._listen)]
        for t in self._threads:
            t.start()

    def reopen(self):
        with self._lock:
            old, self._peer = self._peer, CanPeer(self.interface, ids=[self.hears])
        old.close()

    def heard_between(self, start, end):
        return [t for t in list(self.heard) if start <= t < end]

    def _talk(self):
        count = 0
        while not self._stop.wait(self.period):
            count += 1
            # The position field (float32) of a feedback frame: a new value each time.
            data = bytes([count & 0xFF, 0, 0x80, 0x3F, 0, 0, 0, 0])
            with self._lock:
                peer = self._peer
            with contextlib.suppress(OSError):
                peer.sock.send(pack_frame(self.can_id, data))

    def _listen(self):
        while not self._stop.is_set():
            with self._lock:
                peer = self._peer
            try:
                peer.sock.settimeout(0.05)
                peer.sock.recv(16)
            except (socket.timeout, OSError):
                continue
            self.heard.append(time.monotonic())

    def close(self):
        self._stop.set()
        for t in self._threads:
            t.join()
        self._peer.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
