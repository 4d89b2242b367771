"""recv_frame on both CAN devices: the frame with its kernel receive time and its format, still
unpacking and comparing as the (id, data) tuple the other receives return."""

import socket
import struct
import time

import pytest
import varnex
from can_support import AF_CAN, CAN_RAW, CanPeer, can_available, requires_can

BUS = "vcan1"
DEVICES = [varnex.CanDevice, varnex.CanDeviceNonBlocking]
SO_TIMESTAMPNS = 35


@pytest.fixture(scope="module", autouse=True)
def stamps_on_arrival():
    """Keeps the kernel stamping frames as they arrive for the whole module.

    The kernel turns arrival stamps on a moment after the first socket asks for them (deferred
    work) and off after the last one closes; a frame arriving meanwhile is stamped when it is
    read. One socket held open, and a frame seen stamped on arrival, rule that window out.
    """
    if not can_available():
        pytest.skip("needs SocketCAN")
    holder = socket.socket(AF_CAN, socket.SOCK_RAW, CAN_RAW)
    holder.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    holder.bind((BUS,))
    with CanPeer(BUS) as peer:
        for _ in range(100):
            peer.send(0x7FF, b"probe")
            time.sleep(0.05)
            _, control, _, _ = holder.recvmsg(16, 64)
            sec, nsec = struct.unpack("qq", control[0][2][:16])
            if time.time() - (sec + nsec / 1e9) >= 0.04:
                break
        else:
            pytest.fail("the kernel never stamped a frame on its arrival")
    yield
    holder.close()


@requires_can
@pytest.mark.parametrize("cls", DEVICES)
def test_a_frame_says_when_it_arrived_and_what_kind_it_was(cls):
    with CanPeer(BUS) as peer:
        dev = cls(BUS)
        assert dev.recv_frame(0) is None
        sent = [(0x123, b"\x01\x02", False, False), (0x123, b"", True, False), (0x456, b"", False, True)]
        stamps = []
        for can_id, data, extended, remote in sent:
            before = time.time()
            peer.send(can_id, data, extended=extended, remote=remote)
            frame = dev.recv_frame(5.0)
            after = time.time()
            got_id, got_data = frame
            assert frame == (can_id, data) and (got_id, got_data) == (frame.id, frame.data)
            assert (frame.is_extended, frame.is_remote, frame.is_error) == (extended, remote, False)
            assert before <= frame.timestamp <= after
            stamps.append(frame.timestamp)
        assert stamps == sorted(stamps)


@requires_can
@pytest.mark.parametrize("cls", DEVICES)
def test_a_frame_that_waited_in_the_queue_keeps_the_time_it_arrived(cls):
    # On the non-blocking device the background task takes the frame long before the receive.
    with CanPeer(BUS) as peer:
        dev = cls(BUS)
        peer.send(0x10, b"old")
        time.sleep(0.3)
        frame = dev.recv_frame(5.0)
        assert frame == (0x10, b"old") and time.time() - frame.timestamp >= 0.3


@requires_can
def test_both_devices_see_one_frame_with_one_time():
    with CanPeer(BUS) as peer:
        blocking, non_blocking = varnex.CanDevice(BUS), varnex.CanDeviceNonBlocking(BUS)
        peer.send(0x20, b"same")
        a, b = blocking.recv_frame(5.0), non_blocking.recv_frame(5.0)
        assert a == b == (0x20, b"same") and a.timestamp == b.timestamp
