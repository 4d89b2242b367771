"""bus_state() of both CAN devices and the motor group, error frames through the receives, and
Device.feedback_age() against the kernel's receive time. vcan has no controller: the error frames
are written by a raw socket, as a controller's driver would send them."""

import os
import signal
import subprocess
import time

import pytest
import varnex
from can_support import (
    CAN_ERR_ACK,
    CAN_ERR_BUSOFF,
    CAN_ERR_CRTL,
    CAN_ERR_CRTL_TX_PASSIVE,
    CAN_ERR_CRTL_TX_WARNING,
    CAN_ERR_FLAG,
    CAN_ERR_RESTARTED,
    CanPeer,
    error_record,
    requires_can,
)
from child_support import read_line, read_until, start_child, start_python, wait_for
from varnex_sim import feedback_bytes

pytestmark = requires_can

BUS = "vcan1"
# The error frames a controller sends on its way to bus-off and back, with the state each tells.
STEPS = [
    (error_record(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_WARNING), "warning"),
    (error_record(CAN_ERR_ACK), "warning"),  # tells no state: nothing changes
    (error_record(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE), "passive"),
    (error_record(CAN_ERR_BUSOFF), "bus-off"),
    (error_record(CAN_ERR_RESTARTED), "active"),
]


def test_bus_state_of_both_devices_and_a_motor_follows_error_frames_none_reaching_a_receive():
    with CanPeer(BUS) as peer:
        blocking = varnex.CanDevice(BUS)
        background = varnex.CanDeviceNonBlocking(BUS)
        motor = varnex.Motor(BUS, 0x100)
        objects = [blocking, background, motor]
        assert [o.bus_state() for o in objects] == ["unknown"] * 3
        for record, state in STEPS:
            peer.send_record(record)
            assert wait_for(lambda: [o.bus_state() for o in objects] == [state] * 3), state
        # Without error_frames=True not one of them reached a receive.
        peer.send(0x55, b"\x01")
        assert blocking.recv(5.0) == (0x55, b"\x01")
        assert background.receive_timeout(5000) == (0x55, b"\x01")
        assert blocking.recv(0) is None and background.try_receive() is None


@pytest.mark.parametrize("cls", [varnex.CanDevice, varnex.CanDeviceNonBlocking])
def test_error_frames_true_delivers_them_with_the_flag_in_the_id_and_the_class_decoded(cls):
    with pytest.raises(TypeError):
        cls(BUS, error_frames=1)
    with CanPeer(BUS) as peer:
        dev = cls(BUS, error_frames=True)
        peer.send_record(error_record(CAN_ERR_ACK | CAN_ERR_BUSOFF))
        assert dev.recv(5.0) == (CAN_ERR_FLAG | CAN_ERR_ACK | CAN_ERR_BUSOFF, bytes(8))
        peer.send_record(error_record(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE))
        frame = dev.recv_frame(5.0)
        assert frame == (CAN_ERR_FLAG | CAN_ERR_CRTL, bytes([0, CAN_ERR_CRTL_TX_PASSIVE]) + bytes(6))
        assert frame.is_error and not frame.is_extended
        assert frame.error_class == ("controller-passive",)
        peer.send(0x123, b"\x02")
        frame = dev.recv_frame(5.0)
        assert frame == (0x123, b"\x02") and (frame.is_error, frame.error_class) == (False, ())
        # A delivered frame still tells the state.
        assert dev.bus_state() == "passive"


def test_a_motor_prints_each_bus_state_change_once_and_never_takes_error_frames_as_feedback():
    child = start_child("""
        import sys, time, varnex
        from child_support import wait_for
        motor = varnex.Motor("vcan1", 0x100)
        motor.add_device(0, 0x201, "speed")
        print("ready", flush=True)
        sys.stdin.readline()
        assert wait_for(lambda: motor.bus_state() == "active")
        time.sleep(1.0)  # the receive task takes the frames after the device's task has read them
    """, stdin=subprocess.PIPE)
    try:
        read_until(child, "ready")
        with CanPeer(BUS) as peer:
            for record, _ in STEPS:
                peer.send_record(record)
            peer.send_record(error_record(CAN_ERR_RESTARTED))  # active again: no line
        child.stdin.write("go\n")
        child.stdin.flush()
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    lines = [line for line in err.splitlines() if line.startswith("[Motor]") or "Warning" in line]
    assert lines == [
        "[Motor] bus state of vcan1: unknown -> warning",
        "[Motor] bus state of vcan1: warning -> passive",
        "[Motor] bus state of vcan1: passive -> bus-off",
        "[Motor] bus state of vcan1: bus-off -> active",
    ], err


def test_feedback_age_counts_from_the_kernels_receive_time_not_from_when_it_was_processed():
    child = start_child("""
        import sys, varnex
        from child_support import wait_for
        motor = varnex.Motor("vcan1", 0x100)
        dev = motor.add_device(0, 0x201, "speed")
        print("ready", flush=True)
        sys.stdin.readline()
        assert wait_for(lambda: dev.feedback_count == 1)
        print(dev.feedback_age(), flush=True)
    """, stdin=subprocess.PIPE)
    try:
        read_until(child, "ready")
        time.sleep(0.2)  # the kernel turns arrival stamps on shortly after a socket asks
        os.kill(child.pid, signal.SIGSTOP)  # its receive task cannot take the frame now
        with CanPeer(BUS) as peer:
            peer.send(0x201, feedback_bytes(1.0, 0, 0))
        time.sleep(0.5)
        os.kill(child.pid, signal.SIGCONT)
        child.stdin.write("go\n")
        child.stdin.flush()
        age = read_line(child.stdout, 30)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert 0.5 <= float(age) < 10.0


def test_feedback_age_grows_while_the_simulator_is_silent_and_falls_back_after():
    sim = start_python(["-m", "varnex_sim", "--interface", BUS])
    try:
        read_until(sim, "varnex-sim: ready")
        motor = varnex.Motor(BUS, 0x100)
        dev = motor.add_device(0, 0x201, "speed")

        def broadcast_until(predicate, timeout=10.0):
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                motor.broadcast()
                if predicate():
                    return True
                time.sleep(0.01)
            return False

        assert broadcast_until(lambda: dev.feedback_count > 0)
        sim.send_signal(signal.SIGUSR1)
        read_until(sim, "varnex-sim: silent")
        count = dev.feedback_count
        assert broadcast_until(lambda: dev.feedback_age() > 0.5)
        sim.send_signal(signal.SIGUSR1)
        read_until(sim, "varnex-sim: answering")
        assert broadcast_until(lambda: dev.feedback_age() < 0.2)
        assert dev.feedback_count > count
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.communicate(timeout=30)
