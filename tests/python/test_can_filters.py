"""Kernel receive filters of both CAN devices: what they keep out, from the socket's first frame
on, how set_filters changes them on a running device, and that a re-created interface keeps them.

A frame a test expects to be kept out is always followed by a SENTINEL frame that every filter
list here passes: receiving the sentinel first shows the excluded frame was not queued, with no
time-out to guess.
"""

import threading
import time

import pytest
import varnex
from can_support import CanPeer, open_fds, requires_can
from fault_support import FAULTS, VCAN, Flood, fault_interfaces, requires_fault_injection

BUS = "vcan1"
DEVICES = [varnex.CanDevice, varnex.CanDeviceNonBlocking]
SENTINEL = 0x7AA
PASS_SENTINEL = {"can_id": SENTINEL, "can_mask": 0x7FF, "extended": False}


def recv(dev, timeout=5.0):
    """The next frame (id, data), or None when none comes within `timeout` seconds."""
    return dev.recv(timeout)


def received_before_sentinel(dev, peer, frames):
    """What the device receives of `frames` ((id, extended) sent by `peer`, the data telling the
    format: b"e" extended, b"s" standard) before the sentinel."""
    for can_id, extended in frames:
        peer.send(can_id, b"e" if extended else b"s", extended=extended)
    peer.send(SENTINEL)
    got = []
    while (frame := recv(dev)) is not None and frame[0] != SENTINEL:
        got.append(frame)
    assert frame is not None, "the sentinel never arrived"
    return got


# ---- invalid filters ----

INVALID = [
    ("0x100", TypeError, r"^argument 'filters': must be None or a sequence of filters"),
    ({"can_id": 1, "can_mask": 1}, TypeError, r"not dict$"),
    ([0x100], TypeError, r"^filters\[0\]: must be a dict .* not int$"),
    ([(1.0, 0x7FF)], TypeError, r"^filters\[0\]: can_id must be an int, not float$"),
    ([{"can_id": 1, "can_mask": 1, "extended": 1}], TypeError, r"extended must be a bool, not int$"),
    ([(1, 1), {"can_id": 1}], ValueError, r"^filters\[1\]: no 'can_mask'$"),
    ([{"can_id": 1, "can_mask": 1, "extendet": True}], ValueError, r"^filters\[0\]: unknown key 'extendet'"),
    ([(-1, 0x7FF)], ValueError, r"^filters\[0\]: can_id must be 0 to 0x1FFFFFFF \(29 bits\), got -1$"),
    ([(0, 1 << 64)], ValueError, r"^filters\[0\]: can_mask must be 0 to 0x1FFFFFFF"),
    # The core's range rules (tests/cpp/can_filter_test.cpp) reach Python as ValueError.
    ([{"can_id": 0x800, "can_mask": 0x7FF, "extended": False}], ValueError, r"for a standard filter"),
]


@pytest.mark.parametrize("cls", DEVICES)
@pytest.mark.parametrize("filters, error, message", INVALID)
def test_invalid_filters_are_refused_before_anything_is_opened(cls, filters, error, message):
    # No such interface: had anything been opened first, provisioning's OSError would come instead.
    before = open_fds()
    with pytest.raises(error, match=message):
        cls("nosuch0", filters=filters)
    assert open_fds() == before


@pytest.mark.parametrize("cls", DEVICES)
def test_filters_are_keyword_only(cls):
    with pytest.raises(TypeError, match="positional"):
        cls("nosuch0", [(1, 1)])


# ---- what they keep out ----

@requires_can
@pytest.mark.parametrize("cls", DEVICES)
def test_no_excluded_frame_is_received_even_while_the_device_is_being_opened(cls):
    # Another process floods two excluded ids during every construction, so a socket that was
    # bound before its filters were in place would queue some of them in that gap.
    wanted = 0x120
    devices = []
    with Flood(BUS, 0x300, ids=2), CanPeer(BUS) as peer:
        for _ in range(40):
            devices.append(cls(BUS, filters=[(wanted, 0x7FF)]))
        peer.send(wanted, b"w")
        for dev in devices:
            assert recv(dev) == (wanted, b"w")
    for dev in devices:
        assert dev.recv(0.05) is None


STD, EXT = (0x123, b"s"), (0x123, b"e")
FORMATS = [
    # filters, then which of (standard 0x123, extended 0x123, standard 0x124) pass
    ([(0x123, 0x7FF)], [STD, EXT]),
    ([{"can_id": 0x123, "can_mask": 0x7FF}], [STD, EXT]),
    ([{"can_id": 0x123, "can_mask": 0x1FFFFFFF, "extended": True}], [EXT]),
    ([{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}], [STD]),
    ([{"can_id": 0x120, "can_mask": 0x7F0, "extended": False}], [STD, (0x124, b"s")]),
    ([], []),
]


@requires_can
@pytest.mark.parametrize("cls", DEVICES)
@pytest.mark.parametrize("filters, expected", FORMATS)
def test_an_extended_filter_passes_only_extended_frames_and_a_standard_one_only_standard(cls, filters, expected):
    with CanPeer(BUS) as peer:
        dev = cls(BUS, filters=[*filters, PASS_SENTINEL])
        assert received_before_sentinel(dev, peer, [(0x123, False), (0x123, True), (0x124, False)]) == expected


@requires_can
@pytest.mark.parametrize("cls", DEVICES)
def test_an_empty_list_receives_nothing_and_none_everything(cls):
    with CanPeer(BUS) as peer, CanPeer(BUS) as witness:
        dev = cls(BUS, filters=[])
        peer.send(0x10, b"a")
        assert witness.recv(5.0) is not None  # delivered to every socket of the bus by now
        assert dev.recv(0.2) is None
        dev.set_filters(None)
        peer.send(0x10, b"b")
        assert recv(dev) == (0x10, b"b")


# ---- set_filters on a running device ----

@requires_can
@pytest.mark.parametrize("cls", DEVICES)
def test_set_filters_keeps_queued_frames_and_applies_to_a_receive_in_progress(cls):
    with CanPeer(BUS) as peer, CanPeer(BUS) as witness:
        dev = cls(BUS)
        peer.send(0x100, b"old")
        assert witness.recv(5.0)[1] == 0x100  # queued for the device too
        dev.set_filters([{"can_id": 0x200, "can_mask": 0x7FF}])
        assert recv(dev) == (0x100, b"old")

        got = []
        waiting = threading.Thread(target=lambda: got.append(recv(dev)))
        waiting.start()
        # Likely waiting by now; the outcome is the same if not: the frames below come after
        # the new filters either way.
        time.sleep(0.1)
        dev.set_filters([(0x300, 0x7FF)])
        peer.send(0x200, b"no")
        peer.send(0x300, b"yes")
        waiting.join(10)
        assert got == [(0x300, b"yes")]
        assert dev.recv(0.05) is None


@requires_can
@pytest.mark.parametrize("cls", DEVICES)
def test_refused_set_filters_keeps_the_old_ones(cls):
    with CanPeer(BUS) as peer:
        dev = cls(BUS, filters=[(0x100, 0x7FF), PASS_SENTINEL])
        with pytest.raises(ValueError, match=r"^filters\[0\]"):
            dev.set_filters([(0x20000000, 0)])
        with pytest.raises(TypeError):
            dev.set_filters()
        assert received_before_sentinel(dev, peer, [(0x100, False), (0x200, False)]) == [(0x100, b"s")]
        dev.close()
        with pytest.raises(RuntimeError, match="is closed"):
            dev.set_filters(None)


# ---- a re-created interface ----

@requires_fault_injection
@pytest.mark.parametrize("cls", DEVICES)
def test_the_socket_opened_on_a_recreated_interface_has_the_latest_filters(cls):
    with fault_interfaces():
        dev = cls(VCAN, filters=[(0x55, 0x7FF)])
        recreated = FAULTS["link_recreated"]()
        recreated.inject()
        dev.set_filters([(0x56, 0x7FF)])  # while the interface is gone
        recreated.restore()
        got = []
        deadline = time.monotonic() + 10
        with CanPeer(VCAN) as peer:
            # The device notices the new interface on its own schedule: send until it hears.
            while not got and time.monotonic() < deadline:
                for can_id in (0x55, 0x66, 0x56):
                    peer.send(can_id, b"r")
                try:
                    frame = dev.recv(0.1)
                except OSError:  # the blocking device reports the removal once
                    continue
                if frame is not None:
                    got.append(frame)
            got += iter(lambda: dev.recv(0.1), None)
        assert got and set(got) == {(0x56, b"r")}
