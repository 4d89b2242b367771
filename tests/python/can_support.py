"""SocketCAN helpers for the tests: availability check, the `requires_can` mark and a raw peer.

Tests that need a real CAN bus use vcan0 and vcan1. Our development machines' kernel has no CAN,
so those tests run in the test VM (tools/can-vm run -- <pytest command>); elsewhere they skip.

    from can_support import CanPeer, requires_can

    pytestmark = requires_can          # or @requires_can on single tests

    with CanPeer("vcan0") as peer:
        peer.send(0x123, b"\\x01\\x02")
        frame = peer.recv(timeout=2.0)  # (raw_id_word, id, is_extended, is_remote, data) or None
"""

import contextlib
import functools
import os
import re
import shutil
import socket
import struct
import subprocess
import sys

import pytest
from varnex_sim import id_filters  # one filter builder for every peer

# Kernel numbers from <linux/can.h>; Python's socket module has most but not all of them everywhere.
AF_CAN = getattr(socket, "AF_CAN", 29)
CAN_RAW = getattr(socket, "CAN_RAW", 1)
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x000007FF
CAN_EFF_MASK = 0x1FFFFFFF

SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


def open_fds():
    """How many file descriptors this process has open (each device socket is one)."""
    return len(os.listdir("/proc/self/fd"))


# struct can_frame: id word with flag bits, length, 3 bytes padding, 8 data bytes (host byte order).
CAN_FRAME = struct.Struct("=IB3x8s")

IFF_UP = 0x1

VCAN_INTERFACES = ("vcan0", "vcan1")


def _interface_up(name):
    try:
        with open(f"/sys/class/net/{name}/flags") as f:
            return int(f.read(), 16) & IFF_UP != 0
    except (OSError, ValueError):
        return False


@functools.lru_cache(maxsize=None)
def can_available():
    """True when raw CAN sockets work and vcan0 exists and is up."""
    try:
        socket.socket(AF_CAN, socket.SOCK_RAW, CAN_RAW).close()
    except (OSError, AttributeError):
        return False
    return _interface_up("vcan0")


def in_can_vm():
    """True inside the test VM started by tools/can-vm."""
    return os.environ.get("VARNEX_IN_CAN_VM") == "1"


SKIP_REASON = (
    "needs SocketCAN with vcan0/vcan1 up: run on a kernel with vcan (sudo modprobe vcan; "
    "ip link add vcan0 type vcan; ...), or through the test VM: tools/can-vm run -- <pytest command>"
)


class _MarkList(list):
    """Several marks that act as one: `pytestmark = requires_can` or `@requires_can`."""

    def __call__(self, obj):
        for mark in self:
            obj = mark(obj)
        return obj


requires_can = _MarkList([pytest.mark.can, pytest.mark.skipif(not can_available(), reason=SKIP_REASON)])


# ---- CAN controllers with a bit rate (the test VM's two emulated SJA1000 boards) ----

# Two controllers on one bus: what one sends, the other receives.
CONTROLLERS = ("can0", "can1")
ARPHRD_CAN = 280


def _is_controller(name):
    """A `type can` link with a device behind it: not vcan or vxcan, which have no bit rate."""
    try:
        with open(f"/sys/class/net/{name}/type") as f:
            is_can = int(f.read()) == ARPHRD_CAN
    except (OSError, ValueError):
        return False
    return is_can and os.path.exists(f"/sys/class/net/{name}/device")


@functools.lru_cache(maxsize=None)
def controllers_available():
    """True where can0 and can1 are controllers these tests may take down and reconfigure: in
    the test VM, or elsewhere with VARNEX_TEST_CONTROLLERS=1 (they must then share one bus
    with no other node on it: the tests send at will)."""
    allowed = in_can_vm() or os.environ.get("VARNEX_TEST_CONTROLLERS") == "1"
    return (allowed and can_available() and os.geteuid() == 0 and shutil.which("ip") is not None
            and all(_is_controller(name) for name in CONTROLLERS))


requires_can_controllers = _MarkList([pytest.mark.can, pytest.mark.skipif(
    not controllers_available(),
    reason="needs CAN controllers can0 and can1 on one bus, as root (the test VM has them): "
           "tools/can-vm run -- <pytest command>")])


def link_details(name):
    """What `ip -details link show` tells of a link: (up, bitrate or None, can state or None)."""
    out = subprocess.run(["ip", "-details", "link", "show", "dev", name], check=True,
                         capture_output=True, text=True).stdout
    flags = re.search(r"<([^>]*)>", out)
    bitrate = re.search(r"\bbitrate (\d+)", out)
    state = re.search(r"\bcan state (\S+)", out)
    return ("UP" in flags.group(1).split(",") if flags else False,
            int(bitrate.group(1)) if bitrate else None, state.group(1) if state else None)


def set_link(name, bitrate=None, up=True):
    """Takes `name` down, sets its bit rate when given, and brings it up unless `up` is False."""
    def ip(*args):
        subprocess.run(["ip", "link", "set", "dev", name, *args], check=True, capture_output=True)

    ip("down")
    if bitrate is not None:
        ip("type", "can", "bitrate", str(bitrate))
    if up:
        ip("up")


def pack_frame(can_id, data=b"", extended=None, remote=False):
    """The 16-byte classic frame record. extended=None means extended exactly when can_id > 0x7FF."""
    data = bytes(data)
    if len(data) > 8:
        raise ValueError(f"a classic CAN frame holds at most 8 data bytes, got {len(data)}")
    if extended is None:
        extended = can_id > CAN_SFF_MASK
    word = can_id & (CAN_EFF_MASK if extended else CAN_SFF_MASK)
    if word != can_id:
        raise ValueError(f"CAN id 0x{can_id:X} does not fit a {'29' if extended else '11'}-bit identifier")
    if extended:
        word |= CAN_EFF_FLAG
    if remote:
        word |= CAN_RTR_FLAG
    return CAN_FRAME.pack(word, len(data), data)


def unpack_frame(record):
    """(raw_id_word, id, is_extended, is_remote, data) of a frame record.

    data has the frame's length even for remote frames (whose bytes are then zero), so the
    length code stays visible.
    """
    word, length, payload = CAN_FRAME.unpack(record[: CAN_FRAME.size])
    extended = bool(word & CAN_EFF_FLAG)
    can_id = word & (CAN_EFF_MASK if extended else CAN_SFF_MASK)
    return word, can_id, extended, bool(word & CAN_RTR_FLAG), payload[: min(length, 8)]


# Error classes of <linux/can/error.h> and the controller's detail bits (data[1]).
CAN_ERR_CRTL, CAN_ERR_ACK, CAN_ERR_BUSOFF, CAN_ERR_RESTARTED = 0x4, 0x20, 0x40, 0x100
CAN_ERR_CRTL_TX_WARNING, CAN_ERR_CRTL_TX_PASSIVE = 0x08, 0x20


def error_record(classes, controller=0):
    """An error frame record as a controller's driver writes it: the classes in the id (with
    CAN_ERR_FLAG), the controller's detail in data[1]. vcan has no controller, so tests write them."""
    return CAN_FRAME.pack(CAN_ERR_FLAG | classes, 8, bytes([0, controller, 0, 0, 0, 0, 0, 0]))


class CanPeer:
    """A raw CAN socket bound to one interface, standing in for another node on the bus.

    Like every raw socket it receives the frames other sockets send on the interface, not
    its own. With `ids` it hears only frames with those identifiers (a kernel filter, so a
    flooded bus cannot crowd them out of its receive buffer).
    """

    def __init__(self, interface="vcan0", ids=None):
        self.interface = interface
        self.sock = socket.socket(AF_CAN, socket.SOCK_RAW, CAN_RAW)
        try:
            if ids is not None:
                self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, id_filters(ids))
            self.sock.bind((interface,))
        except OSError:
            self.sock.close()
            raise

    def send(self, can_id, data=b"", extended=None, remote=False):
        self.send_record(pack_frame(can_id, data, extended, remote))

    def send_record(self, record):
        """Writes raw bytes as one record, for frames that pack_frame refuses to build."""
        self.sock.settimeout(None)
        written = self.sock.send(record)
        if written != len(record):
            raise OSError(f"short CAN write: {written} of {len(record)} bytes")

    def recv(self, timeout=1.0):
        """The next frame as unpack_frame gives it, or None when none comes within timeout seconds."""
        self.sock.settimeout(timeout)
        try:
            record = self.sock.recv(72)
        except socket.timeout:
            return None
        return unpack_frame(record)

    def drain(self, quiet=0.05):
        """Every frame that arrives until the bus has been quiet for `quiet` seconds."""
        frames = []
        while (frame := self.recv(quiet)) is not None:
            frames.append(frame)
        return frames

    def make_room_for_bursts(self, nbytes=1 << 22):
        """A receive buffer that holds a released transmit queue's burst at once (root only)."""
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, nbytes)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- a stalled transmit queue (root and tc, as in the test VM) ----

can_stall_tc = pytest.mark.skipif(shutil.which("tc") is None or os.geteuid() != 0,
                                  reason="stalls a transmit queue with tc: needs tc and root (as in the test VM)")


@contextlib.contextmanager
def stalled_tx(interface):
    """Holds every frame sent on `interface` in a plugged queue discipline while the block runs.

    The plug holds far more than a socket's send buffer, so a sender runs out of buffer room
    (EAGAIN) before the queue overflows (ENOBUFS). `release()` on the yielded object lets the
    held frames through in order; the discipline is removed at the end whatever happens.
    """

    def tc(*args):
        subprocess.run(["tc", "qdisc", *args], check=True, capture_output=True)

    class Stall:
        @staticmethod
        def release():
            tc("change", "dev", interface, "root", "plug", "release_indefinite")

    tc("add", "dev", interface, "root", "plug", "limit", "10000000")
    try:
        yield Stall()
    finally:
        subprocess.run(["tc", "qdisc", "del", "dev", interface, "root"], capture_output=True)


# ---- a full bus from another process ----

_PACED_SENDER = """
import socket, struct, sys, time
interface, can_id, count, rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((interface,))
frame = struct.Struct("=IB3x8s")
tick = 8 / rate if rate > 0 else 0.0
due = start = time.perf_counter()
for i in range(count):
    if rate > 0 and i % 8 == 0:
        due += tick
        delay = due - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    s.send(frame.pack(can_id, 8, struct.pack("<Q", i)))
print(f"{count / (time.perf_counter() - start):.0f}", flush=True)
"""


def send_paced(interface, can_id, count, rate=8000.0):
    """Sends `count` 8-byte frames on `can_id` from another process, the frame's number in its
    data (little-endian), at `rate` frames/s (0: as fast as it can); returns the rate reached.

    8 frames go out at every millisecond's mark: the test VM's sleeps are too coarse for single
    frames every 125 us (cangen -g 0.125 reaches about 700 frames/s there).
    """
    out = subprocess.run([sys.executable, "-c", _PACED_SENDER, interface, str(can_id), str(count), str(rate)],
                         check=True, capture_output=True, text=True, timeout=600)
    return float(out.stdout)
