"""close() and `with`: sockets closed when the block ends, queued frames written first (and a
stalled transmit queue bounded), waits in progress ended, and a clear error for every later call."""

import threading
import time

import pytest
import varnex
from can_support import CanPeer, can_stall_tc, open_fds, requires_can, stalled_tx
from child_support import run_child

BUS = "vcan1"


def test_a_timer_handle_stops_its_timer_when_the_with_block_ends():
    ticks = []
    with varnex.timer(200.0)(lambda: ticks.append(1))() as handle:
        assert handle.is_running()
        with pytest.raises(ZeroDivisionError):
            with handle:  # an exception of the block goes on
                1 / 0
    assert not handle.is_running()


CLASSES = {
    "CanDevice": lambda: varnex.CanDevice(BUS),
    "CanDeviceNonBlocking": lambda: varnex.CanDeviceNonBlocking(BUS),
    "Motor": lambda: varnex.Motor(BUS, 0x100),
}
LATER_CALLS = {
    "CanDevice": [lambda d: d.send(0x1, b""), lambda d: d.receive(), lambda d: d.recv(0),
                  lambda d: next(iter(d))],
    "CanDeviceNonBlocking": [lambda d: d.send(0x1, b""), lambda d: d.try_receive(),
                             lambda d: d.receive_timeout(0), lambda d: d.recv(0)],
    "Motor": [lambda m: m.broadcast(), lambda m: m.set_target(0, 1.0), lambda m: m.get_feedback(0),
              lambda m: m.add_device(0, 0x201, "speed"), lambda m: m.enter_configure_broadcast()],
}


@requires_can
@pytest.mark.parametrize("name", list(CLASSES))
def test_with_closes_the_socket_and_later_calls_name_the_object_and_interface(name):
    keep = varnex.CanDeviceNonBlocking("vcan0")  # the runtime's own descriptors exist from here on
    base = open_fds()
    with CLASSES[name]() as obj:
        assert open_fds() == base + 1
    assert open_fds() == base
    obj.close()  # again: nothing happens
    for call in LATER_CALLS[name]:
        with pytest.raises(RuntimeError) as raised:
            call(obj)
        assert str(raised.value) == f"{name} on interface '{BUS}' is closed"
    if name != "Motor":
        assert obj.interface() == BUS
    del keep


@requires_can
def test_closing_a_motor_writes_its_last_broadcast_and_ends_its_devices_sends():
    with CanPeer(BUS, ids=[0x100]) as peer:
        motor = varnex.Motor(BUS, 0x100)
        device = motor.add_device(0, 0x201, "current")
        peer.drain()
        device.set_target(1.0)
        motor.broadcast()
        motor.close()
        frame = peer.recv(5.0)
        assert frame is not None and frame[1] == 0x100 and frame[4] != bytes(8)
        with pytest.raises(RuntimeError, match=f"Motor on interface '{BUS}' is closed"):
            device.enter_configure()
        assert repr(motor) == "Motor(host=0x100, devices=1)"


@requires_can
@pytest.mark.parametrize("name", ["CanDevice", "CanDeviceNonBlocking"])
def test_close_ends_a_recv_waiting_on_another_thread(name):
    dev = CLASSES[name]()
    outcome = []

    def wait():
        try:
            outcome.append(dev.recv(30.0))
        except RuntimeError as e:
            outcome.append(str(e))

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.2)  # let it start waiting; a close before that is refused the same way
    dev.close()
    waiter.join(10.0)
    assert not waiter.is_alive()
    # The blocking device's wait fails; the non-blocking one's queue ends, with nothing in it.
    assert outcome in ([f"{name} on interface '{BUS}' is closed"], [None])


@requires_can
@can_stall_tc
def test_close_writes_frames_queued_behind_a_stalled_transmit_queue_once_it_moves():
    count = 1000  # more than the socket's send buffer holds, so the rest wait in the device
    with CanPeer(BUS, ids=[0x300]) as peer:
        peer.make_room_for_bursts()  # the released queue reaches the peer in one burst
        received = []

        def read():  # as they come, so the peer's own receive buffer never overflows
            while len(received) < count and (frame := peer.recv(10.0)) is not None:
                received.append(int.from_bytes(frame[4], "little"))

        reader = threading.Thread(target=read)
        reader.start()
        dev = varnex.CanDeviceNonBlocking(BUS)
        with stalled_tx(BUS) as stall:
            for i in range(count):
                dev.send(0x300, i.to_bytes(2, "little"))
            threading.Timer(0.3, stall.release).start()
            dev.close()
        reader.join(30.0)
        assert received == list(range(count))


@requires_can
@can_stall_tc
def test_close_gives_up_on_a_transmit_queue_that_stays_stalled_and_reports_the_loss():
    result = run_child(
        f"""
        import time, varnex
        from can_support import stalled_tx
        dev = varnex.CanDeviceNonBlocking("{BUS}")
        with stalled_tx("{BUS}"):
            for i in range(1000):
                dev.send(0x300, b"x")
            started = time.monotonic()
            dev.close()
            print(round(time.monotonic() - started, 1), flush=True)
        """,
        timeout=60,
    )
    took = float(result.stdout)
    assert 0.9 <= took < 5.0, took
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith(f"[CAN] Interface '{BUS}' closed with ")
    assert lines[0].endswith(" queued frame(s) not written within 1 s; they are lost")
    lost = int(lines[0].split(" closed with ")[1].split()[0])
    assert 0 < lost < 1000
