"""The CAN test bed itself: the raw peer's frame layout, vcan0/vcan1 on a real kernel, and the VM's
two CAN controllers."""

import pytest
from can_support import (
    CAN_EFF_FLAG,
    CAN_RTR_FLAG,
    CONTROLLERS,
    CanPeer,
    controllers_available,
    in_can_vm,
    link_details,
    pack_frame,
    requires_can,
    unpack_frame,
)


def test_frame_record_layout_carries_id_flags_length_and_padded_data():
    record = pack_frame(0x1ABCDEF0, b"\x01\x02\x03")
    assert record == bytes.fromhex("f0debc9a" "03" "000000" "0102030000000000")
    assert unpack_frame(record) == (0x9ABCDEF0, 0x1ABCDEF0, True, False, b"\x01\x02\x03")
    assert unpack_frame(pack_frame(0x7FF, remote=True)) == (0x7FF | CAN_RTR_FLAG, 0x7FF, False, True, b"")
    assert unpack_frame(pack_frame(0x7F, extended=True))[:3] == (0x7F | CAN_EFF_FLAG, 0x7F, True)


@requires_can
def test_standard_and_extended_frames_cross_between_two_sockets():
    with CanPeer("vcan0") as a, CanPeer("vcan0") as b:
        a.send(0x123, b"\x11\x22")
        a.send(0x123, b"\xAA" * 8, extended=True)
        a.send(0x1FFFFFFF, b"")
        b.send(0x456, remote=True)
        assert b.recv(5.0) == (0x123, 0x123, False, False, b"\x11\x22")
        assert b.recv(5.0) == (0x123 | CAN_EFF_FLAG, 0x123, True, False, b"\xAA" * 8)
        assert b.recv(5.0) == (0x1FFFFFFF | CAN_EFF_FLAG, 0x1FFFFFFF, True, False, b"")
        assert a.recv(5.0) == (0x456 | CAN_RTR_FLAG, 0x456, False, True, b"")
        # A raw socket does not hear its own frames.
        assert a.drain() == [] and b.drain() == []


@requires_can
def test_vcan1_is_a_separate_bus():
    with CanPeer("vcan0") as on0, CanPeer("vcan1") as on1, CanPeer("vcan1") as other1:
        on0.send(0x10, b"\x00")
        other1.send(0x20, b"\x01")
        assert on1.recv(5.0) == (0x20, 0x20, False, False, b"\x01")
        assert on1.drain(0.2) == []


@requires_can
@pytest.mark.skipif(not in_can_vm(), reason="the test VM's own hardware")
def test_the_vm_has_two_can_controllers_for_the_controller_tests():
    # Without them test_can_controllers.py would skip every test, silently.
    assert controllers_available()
    assert [link_details(name)[2] is not None for name in CONTROLLERS] == [True, True]
