"""The devices and the motor group on CAN controllers with a bit rate: the test VM's two emulated
SJA1000 boards, can0 and can1, on one bus. Unlike vcan they must be given a bit rate before they
go up and have a transmit queue of 10 frames, so provisioning runs its real `ip` commands here,
as root. The emulation models neither a missing ACK nor error states (those stay injected on
vcan, see test_can_faults.py)."""

import time

import pytest
import varnex
from can_support import CONTROLLERS, CanPeer, link_details, requires_can_controllers, set_link
from child_support import run_child, wait_for
from varnex_sim import SimDriver

pytestmark = requires_can_controllers

CONSTRUCTORS = {
    "CanDevice": "varnex.CanDevice('can0'{})",
    "CanDeviceNonBlocking": "varnex.CanDeviceNonBlocking('can0'{})",
    "Motor": "varnex.Motor('can0', 0x100{})",
}


def construct_in_child(cls, bitrate=None):
    """Constructs `cls` on can0 in a child (provisioning's lines go to fd 2); its stderr lines."""
    more = "" if bitrate is None else f", bitrate={bitrate}"
    out = run_child(f"import varnex\ndevice = {CONSTRUCTORS[cls].format(more)}\nprint('opened')\n")
    assert out.stdout == "opened\n", out.stderr
    return out.stderr.splitlines()


def notice(up, bitrate):
    shown = "none" if bitrate is None else bitrate
    return (f"[CAN] Interface 'can0' needs configuration (up={str(up).lower()}, bitrate={shown}), "
            "configuring...")


@pytest.fixture
def bus():
    """`bus(rate)` brings both controllers up at `rate`; they are left down at the end."""
    yield lambda rate: [set_link(name, rate) for name in CONTROLLERS]
    for name in CONTROLLERS:
        set_link(name, up=False)


# Every constructor at the default rate; another rate once (the host tests give it to each).
@pytest.mark.parametrize("cls, bitrate", [(cls, None) for cls in CONSTRUCTORS] + [("CanDeviceNonBlocking", 500000)])
def test_every_constructor_brings_a_down_controller_up_at_its_rate(cls, bitrate, bus):
    set_link("can0", up=False)
    _, before, _ = link_details("can0")
    assert construct_in_child(cls, bitrate) == [notice(False, before)]
    assert link_details("can0") == (True, bitrate or 1000000, "ERROR-ACTIVE")


def test_a_controller_up_at_another_rate_is_reconfigured_and_one_at_the_rate_is_left_alone(bus):
    set_link("can0", 250000)
    assert construct_in_child("CanDevice") == [notice(True, 250000)]
    assert link_details("can0") == (True, 1000000, "ERROR-ACTIVE")
    assert construct_in_child("CanDeviceNonBlocking") == []
    assert construct_in_child("Motor", 500000) == [notice(True, 1000000)]
    assert link_details("can0") == (True, 500000, "ERROR-ACTIVE")
    assert construct_in_child("CanDevice", 500000) == []


FRAMES = [(0x123, b"\x11\x22"), (0x1ABCDEF, bytes(range(8))), (0x7FF, b"")]


@pytest.mark.parametrize("bitrate", [None, 500000])
def test_frames_cross_between_the_controllers_both_ways(bitrate, bus):
    bus(bitrate or 1000000)
    with varnex.CanDevice("can0", bitrate=bitrate) as blocking, \
            varnex.CanDeviceNonBlocking("can1", bitrate=bitrate) as non_blocking:
        for frame in FRAMES:
            blocking.send(*frame)
        assert [non_blocking.receive_timeout(5000) for _ in FRAMES] == FRAMES
        for frame in FRAMES:
            non_blocking.send(*frame)
        assert [blocking.recv(5.0) for _ in FRAMES] == FRAMES


def test_a_burst_through_the_ten_frame_queue_arrives_whole_or_is_refused(bus):
    # A controller's queue holds 10 frames: on a real bus a faster burst meets ENOBUFS, which
    # CanDevice.send raises; every frame it did not refuse reaches the other node, in order.
    # (The emulated controller sends each frame at once, so here none is refused.)
    bus(1000000)
    sent = []
    with varnex.CanDevice("can0") as dev, CanPeer("can1") as peer:
        for i in range(200):
            try:
                dev.send(0x10, i.to_bytes(2, "little"))
                sent.append(i)
            except OSError as e:
                assert str(e) == "No buffer space available (os error 105)"
        received = [int.from_bytes(f[4], "little") for f in peer.drain(0.5)]
    assert received == sent
    assert len(sent) >= 10


def test_the_motor_group_gets_its_drivers_feedback(bus):
    bus(1000000)
    with SimDriver("can1", 0x201, 0x100, slot=0, feedback=(1.5, 123, -250)) as driver, \
            varnex.Motor("can0", host=0x100) as motor:
        wheel = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
        wheel.set_target(10.0)
        motor.broadcast()
        assert driver.wait_for(lambda f: not f.is_config).data == bytes.fromhex("6400000000000000")
        assert wait_for(lambda: wheel.get_feedback()["position"] == 1.5)
        assert wheel.get_feedback() == {"position": 1.5, "speed": 12.300000190734863, "current": -2.5}


# ---- this release's receive features, once each on a controller ----

def test_kernel_filters_pass_only_their_frames_and_can_be_changed(bus):
    bus(1000000)
    with CanPeer("can0") as peer, \
            varnex.CanDeviceNonBlocking("can1", filters=[(0x100, 0x7F0)]) as dev:
        for can_id in (0x105, 0x200, 0x10A):
            peer.send(can_id, b"\x01")
        assert [dev.receive_timeout(5000) for _ in range(2)] == [(0x105, b"\x01"), (0x10A, b"\x01")]
        dev.set_filters([{"can_id": 0x200, "can_mask": 0x7FF}])
        for can_id in (0x105, 0x200):
            peer.send(can_id, b"\x02")
        assert dev.receive_timeout(5000) == (0x200, b"\x02")
        assert dev.receive_timeout(300) is None


def test_a_received_frame_carries_its_kernel_time_and_kind(bus):
    bus(1000000)
    with CanPeer("can0") as peer, varnex.CanDevice("can1") as dev:
        before = time.time()
        peer.send(0x456, remote=True)
        peer.send(0x1ABCDE, b"\x07")
        remote, extended = dev.recv_frame(5.0), dev.recv_frame(5.0)
        after = time.time()
    assert (remote, remote.is_remote, remote.is_extended) == ((0x456, b""), True, False)
    assert (extended, extended.is_remote, extended.is_extended) == ((0x1ABCDE, b"\x07"), False, True)
    assert before <= remote.timestamp <= extended.timestamp <= after


def test_a_short_recording_holds_every_frame_with_its_interface(bus, tmp_path):
    bus(500000)
    path = tmp_path / "bus.log"
    sent = [(0x100 + i, bytes([i] * (i % 9))) for i in range(8)]  # fewer than the queue holds
    with CanPeer("can0") as peer, varnex.CanDeviceNonBlocking("can1", bitrate=500000) as dev, \
            varnex.CanLogWriter(path) as log:
        recording = log.record(dev, takes_all=True)
        for frame in sent:
            peer.send(*frame)
        assert wait_for(lambda: recording.frames == len(sent))
        recording.stop()
    assert [(f.interface, f.id, f.data) for f in varnex.CanLogReader(path)] == [
        ("can1", can_id, data) for can_id, data in sent]
