"""Motor and Device: argument rules and reprs, and on a real bus (vcan0) against simulated drivers.

Frames are checked twice: as the exact bytes the driver protocol fixes, and decoded by cantools from
the DBC description in data/driver_protocol.dbc (an implementation that shares no code with ours).
"""

import inspect
import math
import os
import signal
import struct
import subprocess
import time

import pytest
import varnex
from can_support import CanPeer, requires_can
from child_support import read_line, run_child, start_child, wait_for
from varnex_sim import SimDriver, feedback_bytes

BUS = "vcan0"
HERE = os.path.dirname(os.path.abspath(__file__))
DBC = os.path.join(HERE, "data", "driver_protocol.dbc")


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


@pytest.fixture(scope="module")
def dbc():
    cantools = pytest.importorskip("cantools")
    return cantools.database.load_file(DBC)


def config_frame(frame_type, dest, ctl):
    head = bytes([0x44, 0x52, 0x31, frame_type, dest & 0xFF, dest >> 8, ctl])
    check = 0
    for b in head:
        check ^= b
    return head + bytes([check])


# ---- arguments, signatures and documentation (no bus needed) ----

MISSING = "missing host CAN id: use second argument or host= / host_id="
BOTH = "pass only one of 'host' or 'host_id', not both"


@pytest.mark.parametrize("args, kwargs, message", [
    (("nosuch0",), {}, MISSING),
    (("nosuch0", None), {"host_id": None}, MISSING),
    (("nosuch0",), {"host": 0x100, "host_id": 0x100}, BOTH),
    (("nosuch0", 0x100), {"host_id": 0x200}, BOTH),
])
def test_host_id_rules_are_checked_before_the_interface_is_touched(args, kwargs, message):
    with pytest.raises(ValueError) as err:
        varnex.Motor(*args, **kwargs)
    assert str(err.value) == message


def test_constructor_converts_interface_then_host_then_host_id():
    with pytest.raises(TypeError, match="interface"):
        varnex.Motor(5, host=-1, host_id=-1)
    with pytest.raises(OverflowError, match="'host'"):
        varnex.Motor("nosuch0", host=-1, host_id=2**32)
    with pytest.raises(OverflowError, match="'host_id'"):
        varnex.Motor("nosuch0", host=None, host_id=2**32)
    with pytest.raises(TypeError, match="'host'"):
        varnex.Motor("nosuch0", "0x100")
    with pytest.raises(TypeError):
        varnex.Motor("nosuch0", 0x100, None, None)


def test_device_has_no_constructor():
    with pytest.raises(TypeError):
        varnex.Device()


MOTOR_METHODS = {
    "add_device": "(self, /, slot_index, node_id, mode)",
    "set_target": "(self, /, slot_index, value)",
    "broadcast": "(self, /)",
    "get_feedback": "(self, /, slot_index)",
    "enter_configure_broadcast": "(self, /)",
    "exit_configure_broadcast": "(self, /)",
    "calibrate_broadcast": "(self, /)",
    "set_foc_mode_broadcast": "(self, /, mode)",
}
DEVICE_METHODS = {
    "set_target": "(self, /, value)",
    "get_target": "(self, /)",
    "get_feedback": "(self, /)",
    "enter_configure": "(self, /)",
    "exit_configure": "(self, /)",
    "start_calibration": "(self, /)",
    "set_foc_mode": "(self, /, mode)",
}


@pytest.mark.parametrize("cls, methods, props", [
    (varnex.Motor, MOTOR_METHODS, ("host", "host_id")),
    (varnex.Device, DEVICE_METHODS, ("slot_index", "node_id")),
])
def test_methods_carry_their_signatures_and_chinese_documentation(cls, methods, props):
    for name, signature in methods.items():
        method = getattr(cls, name)
        assert str(inspect.signature(method)) == signature, name
        assert method.__doc__ and any("\u4e00" <= ch <= "\u9fff" for ch in method.__doc__), name
    for name in props:
        doc = getattr(cls, name).__doc__
        assert doc and "--" not in doc and any("\u4e00" <= ch <= "\u9fff" for ch in doc), name
    assert any("\u4e00" <= ch <= "\u9fff" for ch in cls.__doc__)


# ---- configuration traffic ----

@requires_can
@pytest.mark.parametrize("host", [0x100, 0x7FF, 0x800, 0x1ABCDEF])
def test_add_device_puts_four_configuration_frames_on_the_host_id_in_order(host, dbc):
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, host=host)
        dev = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
        got = [peer.recv(10.0) for _ in range(4)]
        assert peer.drain(0.3) == []
    assert all(f is not None for f in got)
    assert [(f[1], f[2]) for f in got] == [(host, host > 0x7FF)] * 4
    assert [f[4] for f in got] == [
        bytes.fromhex("44 52 31 73 01 02 03 54"),
        bytes.fromhex("44 52 31 74 01 02 03 53"),
        bytes.fromhex("44 52 31 FF 01 02 11 CA"),
        bytes.fromhex("44 52 31 FF 01 02 00 DB"),
    ]
    decoded = [dbc.decode_message("DrConfig", f[4]) for f in got]
    assert [(d["frame_type"], d["destination"], d["ctl"]) for d in decoded] == [
        ("open_session_first", 0x201, "open_session"),
        ("open_session_second", 0x201, "open_session"),
        ("command", 0x201, "set_mode_speed"),
        ("command", 0x201, "end_session"),
    ]
    assert repr(dev) == "Device(slot=0, node_id=0x201, target=0.0000)"


@requires_can
def test_configuration_commands_match_the_frame_tables(dbc):
    cfg = dbc.get_message_by_name("DrConfig")
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, 0x100)
        dev = motor.add_device(1, 0x10201, "Position")  # bits above 16 never reach the wire
        peer.drain(0.3)
        motor.enter_configure_broadcast()
        motor.set_foc_mode_broadcast("CURRENT")
        motor.exit_configure_broadcast()
        dev.enter_configure()
        dev.set_foc_mode("position")
        dev.exit_configure()
        got = [peer.recv(10.0)[4] for _ in range(8)]
    assert got == [
        config_frame(0x73, 0xFFFF, 0x03), config_frame(0x74, 0xFFFF, 0x03),
        config_frame(0xFF, 0xFFFF, 0x10), config_frame(0xFF, 0xFFFF, 0x00),
        config_frame(0x73, 0x0201, 0x03), config_frame(0x74, 0x0201, 0x03),
        config_frame(0xFF, 0x0201, 0x12), config_frame(0xFF, 0x0201, 0x00),
    ]
    assert got[0] == bytes.fromhex("44 52 31 73 FF FF 03 57")
    for data in got:
        fields = cfg.decode(data, decode_choices=False)
        assert [fields["magic_0"], fields["magic_1"], fields["magic_2"]] == [0x44, 0x52, 0x31]
        check = 0
        for b in data[:7]:
            check ^= b
        assert fields["check"] == check
        assert cfg.encode(fields) == data
    assert [cfg.decode(d)["destination"] for d in got] == ["all_drivers"] * 4 + [0x201] * 4


@requires_can
def test_unknown_mode_raises_with_the_lowered_text_and_sends_nothing():
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, 0x100)
        dev = motor.add_device(0, 0x201, "SPEED")
        peer.drain(0.3)
        for call, text in [(lambda m: motor.add_device(0, 0x202, m), "pwm"),
                           (lambda m: motor.add_device(0, 0x202, m), " speed"),
                           (motor.set_foc_mode_broadcast, "ÄÖ"),
                           (dev.set_foc_mode, "Foo")]:
            with pytest.raises(ValueError) as err:
                call(text)
            assert str(err.value) == (f"unknown mode '{text.lower()}', "
                                      "expected 'current', 'speed', or 'position'")
        with pytest.raises(TypeError, match="mode"):
            motor.add_device(0, 0x202, b"speed")
        with pytest.raises(OverflowError, match="slot_index"):
            motor.add_device(256, 0x202, "pwm")  # converted before the mode is looked at
        assert peer.drain(0.5) == []
    assert repr(motor) == "Motor(host=0x100, devices=1)"


# ---- targets, slots and feedback ----

@requires_can
def test_control_cycle_round_trips_through_simulated_drivers(dbc):
    motor = varnex.Motor(BUS, host_id=0x100)
    with SimDriver(BUS, 0x201, 0x100, slot=0, feedback=(1.5, 123, -250)) as a, \
            SimDriver(BUS, 0x202, 0x100, slot=1, feedback=(-0.25, -7, 3)) as b:
        m1 = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
        m2 = motor.add_device(slot_index=1, node_id=0x202, mode="speed")
        assert m1.get_feedback() == {"position": 0.0, "speed": 0.0, "current": 0.0}
        m1.set_target(10.0)
        m2.set_target(-5.0)
        motor.broadcast()
        frame = a.wait_for(lambda f: not f.is_config)
        assert (frame.id, frame.extended) == (0x100, False)
        assert frame.data == bytes.fromhex("64 00 CE FF 00 00 00 00")
        assert dbc.decode_message("BroadcastTarget", frame.data) == {
            "slot0": 100, "slot1": -50, "slot2": 0, "slot3": 0}
        assert a.targets == [100] and b.wait_for(lambda f: not f.is_config) == frame
        assert wait_for(lambda: m1.get_feedback()["position"] != 0.0
                        and m2.get_feedback()["position"] != 0.0)

    fb = m1.get_feedback()
    assert list(fb) == ["position", "speed", "current"]
    assert fb == {"position": 1.5, "speed": 12.300000190734863, "current": -2.5}
    assert motor.get_feedback(0) == fb
    # The same bytes through cantools, compared after rounding to float32.
    feedback = dbc.get_message_by_name("Feedback")
    for dev, raw in [(m1, feedback_bytes(1.5, 123, -250)), (m2, feedback_bytes(-0.25, -7, 3))]:
        expected = feedback.decode(raw, decode_choices=False)
        assert {k: f32(v) for k, v in expected.items()} == dev.get_feedback()
    assert motor.get_feedback(2) is None


@requires_can
def test_broadcast_without_devices_sends_eight_zero_bytes():
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, 0x100)
        motor.broadcast()
        assert peer.recv(10.0)[1:] == (0x100, False, False, bytes(8))


@requires_can
def test_slot_above_three_is_stored_as_three_and_lookups_compare_the_request_as_given():
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, 0x100)
        dev = motor.add_device(5, 0x205, "current")
        assert dev.slot_index == 3 and dev.node_id == 0x205
        motor.set_target(5, 1.0)
        assert dev.get_target() == 0.0
        assert motor.get_feedback(5) is None
        motor.set_target(3, 1.5)
        assert dev.get_target() == 1.5
        assert motor.get_feedback(3) == {"position": 0.0, "speed": 0.0, "current": 0.0}
        peer.drain(0.3)
        motor.broadcast()
        assert peer.recv(10.0)[4] == bytes([0, 0, 0, 0, 0, 0, 150, 0])


@requires_can
def test_shared_slot_broadcasts_the_later_device_but_lookups_find_the_earlier(dbc):
    with SimDriver(BUS, 0x301, 0x100, slot=1) as sim:
        motor = varnex.Motor(BUS, 0x100)
        first = motor.add_device(1, 0x301, "current")
        later = motor.add_device(1, 0x302, "current")
        first.set_target(1.0)
        later.set_target(-0.019)  # truncated toward zero: -1
        motor.set_target(1, 2.0)  # reaches the earlier device
        assert (first.get_target(), later.get_target()) == (2.0, f32(-0.019))
        motor.broadcast()
        frame = sim.wait_for(lambda f: not f.is_config)
        assert dbc.decode_message("BroadcastTarget", frame.data)["slot1"] == -1
        sim.send_feedback(0.5, 10, 20)
        assert wait_for(lambda: motor.get_feedback(1)["position"] == 0.5)
        assert later.get_feedback()["position"] == 0.0


@requires_can
def test_two_devices_with_one_node_id_only_the_earlier_gets_feedback():
    with SimDriver(BUS, 0x201, 0x100) as sim:
        motor = varnex.Motor(BUS, 0x100)
        first = motor.add_device(0, 0x201, "speed")
        twin = motor.add_device(1, 0x201, "speed")
        sim.send_feedback(2.0, 1, 1)
        assert wait_for(lambda: first.get_feedback()["position"] == 2.0)
        assert twin.get_feedback() == {"position": 0.0, "speed": 0.0, "current": 0.0}


@requires_can
def test_feedback_age_is_none_until_a_frame_is_stored_and_grows_once_the_driver_is_silent():
    with SimDriver(BUS, 0x201, 0x100) as sim:
        motor = varnex.Motor(BUS, 0x100)
        dev = motor.add_device(0, 0x201, "speed")
        assert (dev.feedback_age(), dev.feedback_count) == (None, 0)
        sim.feedback = (1.0, 0, 0)
        for expected in (1, 2):
            motor.broadcast()
            assert wait_for(lambda: dev.feedback_count == expected)
        assert 0.0 <= dev.feedback_age() < 5.0
        sim.feedback = None  # silent from now on: targets are heard, nothing answers
        motor.broadcast()
        age = dev.feedback_age()
        assert wait_for(lambda: dev.feedback_age() > age + 0.3)
        assert dev.feedback_count == 2
        with pytest.raises(AttributeError):
            dev.feedback_count = 0


@requires_can
def test_target_is_stored_as_float32_and_shown_with_four_decimals():
    motor = varnex.Motor(BUS, host=0x1A0)
    assert repr(motor) == "Motor(host=0x1A0, devices=0)"
    assert motor.host == motor.host_id == 0x1A0
    dev = motor.add_device(0, 0x20A, "position")
    assert repr(motor) == "Motor(host=0x1A0, devices=1)"
    dev.set_target(0.1)
    assert dev.get_target() == 0.10000000149011612
    assert repr(dev) == "Device(slot=0, node_id=0x20A, target=0.1000)"
    for value, stored, shown in [(10, 10.0, "10.0000"), (-2.5, -2.5, "-2.5000"),
                                 (float("inf"), math.inf, "inf"),
                                 (-1e39, -math.inf, "-inf"),  # beyond float32: saturates
                                 (123456.789, 123456.7890625, "123456.7891")]:
        dev.set_target(value)
        assert dev.get_target() == stored
        assert repr(dev) == f"Device(slot=0, node_id=0x20A, target={shown})"
    dev.set_target(float("nan"))
    assert math.isnan(dev.get_target())
    assert repr(dev) == "Device(slot=0, node_id=0x20A, target=NaN)"
    with pytest.raises(TypeError, match="value"):
        dev.set_target("1.0")


@requires_can
@pytest.mark.parametrize("args, kwargs", [((0x100,), {}), ((), {"host": 0x100}),
                                          ((), {"host_id": 0x100}),
                                          ((), {"host": 0x100, "host_id": None})])
def test_every_way_of_giving_the_host_id_makes_the_same_group(args, kwargs):
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, *args, **kwargs)
        assert (motor.host, motor.host_id) == (0x100, 0x100)
        motor.broadcast()
        assert peer.recv(10.0)[1] == 0x100


# ---- the receive task's diagnostics and lifetime (children: lines go to fd 2) ----

STRAY_FRAMES = """
import time, varnex
from varnex_sim import SimDriver
with SimDriver('vcan0', 0x201, 0x100) as sim:
    motor = varnex.Motor('vcan0', 0x100)
    dev = motor.add_device(0, 0x201, 'speed')
    sim.send(0x201, bytes(7))
    sim.send(0x1ABCDE, b'')
    sim.send(0x7F, bytes([0, 0, 192, 63, 123, 0, 6, 255]))
    sim.send(0x202, bytes(range(8)))
    time.sleep(1.0)
    print(dev.get_feedback())
    sim.send_feedback(3.0, 0, 0)
    while dev.get_feedback()['position'] != 3.0:
        time.sleep(0.01)
    print(dev.get_feedback())
"""


@requires_can
def test_wrong_length_and_unmatched_frames_are_reported_and_change_nothing():
    out = run_child(STRAY_FRAMES)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "{'position': 0.0, 'speed': 0.0, 'current': 0.0}",
        "{'position': 3.0, 'speed': 0.0, 'current': 0.0}",
    ]
    assert out.stderr.splitlines() == [
        "Warning: ignoring CAN frame 0x201 with unexpected length 7",
        "Warning: ignoring CAN frame 0x1ABCDE with unexpected length 0",
        "[Motor] unmatched feedback frame: id=0x7F, data=[0, 0, 192, 63, 123, 0, 6, 255]",
        "[Motor] unmatched feedback frame: id=0x202, data=[0, 1, 2, 3, 4, 5, 6, 7]",
    ]


NOT_FEEDBACK = """
import time, varnex
from can_support import CanPeer
motor = varnex.Motor('vcan0', 0x100)
dev = motor.add_device(0, 0x201, 'speed')
with CanPeer('vcan0') as peer:
    peer.send(0x201, bytes(8), remote=True)  # another node asking for the driver's data
    peer.send(0x201, bytes([0, 0, 192, 63, 0, 0, 0, 0]), extended=True)  # id 0x00000201
    peer.send(0x201, bytes([0, 0, 64, 64, 0, 0, 0, 0]))  # the driver's own: position 3.0
    deadline = time.monotonic() + 30
    while dev.feedback_count == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)
print(dev.feedback_count, dev.get_feedback()['position'])
"""


@requires_can
def test_remote_requests_and_frames_of_the_other_format_are_no_feedback():
    out = run_child(NOT_FEEDBACK)
    assert out.stdout.split() == ["1", "3.0"]
    # The extended frame is the request's repeat for the per-id limiter: counted, then summarised.
    assert out.stderr.splitlines() == [
        "[Motor] unmatched feedback frame: id=0x201, data=[0, 0, 0, 0, 0, 0, 0, 0]",
        "[Motor] unmatched feedback frame: id=0x201, data=[0, 0, 0, 0, 0, 0, 0, 0] (1 similar messages suppressed)",
    ]


OUTLIVING_DEVICE = """
import time, varnex
from varnex_sim import SimDriver
with SimDriver('vcan0', 0x201, 0x100) as sim:
    motor = varnex.Motor('vcan0', 0x100)
    dev = motor.add_device(0, 0x201, 'speed')
    sim.send(0x55, bytes(8))
    time.sleep(1.0)
    del motor
    sim.send(0x66, bytes(8))
    sim.send(0x201, bytes(3))
    time.sleep(1.0)
    sim.clear()
    start = time.monotonic()
    dev.start_calibration()
    print('calibration took', round(time.monotonic() - start, 3) >= 0.2)
    print(sim.wait_for().data.hex(' '))
"""


@requires_can
def test_destroyed_motor_prints_nothing_more_and_its_device_still_sends_and_calibrates():
    out = run_child(OUTLIVING_DEVICE)
    assert out.returncode == 0, out.stderr
    # The kept Device holds the CAN device; only the aborted receive task could print these.
    assert out.stderr.splitlines() == [
        "[Motor] unmatched feedback frame: id=0x55, data=[0, 0, 0, 0, 0, 0, 0, 0]"]
    assert out.stdout.splitlines() == ["calibration took True", "44 52 31 ff 01 02 01 da"]


STDERR_NOBODY_READS = """
import fcntl, os, struct, termios, time, varnex
from can_support import CanPeer
F_SETPIPE_SZ, F_GETPIPE_SZ = 1031, 1032
unread, stderr = os.pipe()
fcntl.fcntl(stderr, F_SETPIPE_SZ, 4096)
os.dup2(stderr, 2)
capacity = fcntl.fcntl(2, F_GETPIPE_SZ)
line = len('[Motor] unmatched feedback frame: id=0x300, data=[0, 0, 0, 0, 0, 0, 0, 0]\\n')

def room():
    return capacity - struct.unpack('i', fcntl.ioctl(2, termios.FIONREAD, bytes(4)))[0]

motor = varnex.Motor('vcan0', 0x100)
with CanPeer('vcan0') as peer:
    # A line per id (repeats of one id are only counted): ids 0x300 and up, one frame each.
    for k in range(2 * capacity // line):
        peer.send(0x300 + k, bytes(8))
    # Polled: the pipe's fill level is the only outward sign that lines reached it; those it
    # cannot take wait in the diagnostic queue behind it.
    deadline = time.monotonic() + 60
    while room() == capacity and time.monotonic() < deadline:
        time.sleep(0.01)
    print('stuck', room() < capacity, flush=True)
    del motor
    print('dropped', flush=True)
"""


@requires_can
def test_dropping_a_motor_whose_receive_task_is_stuck_on_a_full_stderr_returns():
    out = run_child(STDERR_NOBODY_READS, timeout=60)
    assert out.returncode == 0
    assert out.stdout.splitlines() == ["stuck True", "dropped"]


@requires_can
def test_broadcast_calibration_pauses_after_its_frame():
    with CanPeer(BUS) as peer:
        motor = varnex.Motor(BUS, 0x100)
        start = time.monotonic()
        motor.calibrate_broadcast()
        assert time.monotonic() - start >= 0.2
        assert peer.recv(10.0)[4] == bytes.fromhex("44 52 31 FF FF FF 01 D9")


# ---- a driver that comes up late; mistakes reported once ----

# Configures 0x201 in position mode before any driver listens, says so, then drives it at 200 Hz
# toward 0.5 rad until its stdin closes, and prints the position it reached.
LATE_DRIVER = """
import sys, threading, time, varnex
motor = varnex.Motor('vcan0', 0x100, reapply_setup=sys.argv[1] == 'reapply')
dev = motor.add_device(0, 0x201, 'position')
dev.set_target(0.5)
print('configured', flush=True)
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
while not stop.is_set():
    motor.broadcast()
    time.sleep(0.005)
print(f"position {dev.get_feedback()['position']:.2f}", flush=True)
"""


@requires_can
@pytest.mark.parametrize("reapply", [False, True], ids=["report", "reapply_setup"])
def test_a_driver_that_starts_after_add_device_is_reported_and_reapply_setup_restores_its_mode(reapply):
    host = start_child(LATE_DRIVER, ["reapply" if reapply else "report"], stdin=subprocess.PIPE)
    sim = start_child("import sys, varnex_sim.__main__ as m; sys.exit(m.main(sys.argv[1:]))",
                      ["--node", "0x201:0", "--start-after", "0.5"])
    try:
        assert read_line(host.stdout) == "configured"
        # The simulator's drivers start in speed mode, as a driver's firmware does, and listen
        # only once their start is over.
        assert read_line(sim.stdout) == "varnex-sim: listening on vcan0 in 0.5 s"
        waiting_since = time.monotonic()
        assert read_line(sim.stdout).startswith("varnex-sim: answering host 0x100 on vcan0")
        assert read_line(sim.stdout) == "varnex-sim: ready on vcan0 (node 0x201:0:speed)"
        assert time.monotonic() - waiting_since >= 0.5
        if reapply:
            assert read_line(sim.stdout) == "varnex-sim: node 0x201 mode position (was speed)"
        time.sleep(1.5)  # let the driver move: toward 0.5 rad, or at 5 rad/s in speed mode
        host.stdin.close()
        position = float(read_line(host.stdout).split()[1])
        assert host.wait(60) == 0
    finally:
        host.kill()
        sim.send_signal(signal.SIGTERM)
        sim.wait(60)
    errors = host.stderr.read().splitlines()
    assert len(errors) == 1, errors
    assert errors[0].startswith("[Motor] driver 0x201 (slot 0) first answered ")
    if reapply:
        assert errors[0].endswith("(position mode) was sent; its setup was sent again")
        assert abs(position - 0.5) < 0.1
    else:
        assert "Device.set_foc_mode('position')" in errors[0] and "reapply_setup=True" in errors[0]
        assert position > 2.0  # the slot read as a speed


SETUP_MISTAKES = """
import time, varnex
motor = varnex.Motor('vcan0', 0x100)
arm = motor.add_device(3, 0x204, 'position')
extra = motor.add_device(7, 0x205, 'position')
wheel = motor.add_device(0, 0x201, 'speed')
for _ in range(100):
    arm.set_target(1000.0)
    wheel.set_target(float('nan'))
wheel.set_target(10.0)
time.sleep(1.5)  # past the limiter's window: the receive task summarises the repeats
print(extra.slot_index, motor.get_feedback(7), arm.get_target())
"""


@requires_can
def test_limited_and_shared_slots_and_clamped_targets_are_reported_once_each():
    out = run_child(SETUP_MISTAKES)
    assert out.stdout.split() == ["3", "None", "1000.0"]
    assert out.stderr.splitlines() == [
        "[Motor] add_device(slot_index=7, node_id=0x205): the broadcast frame has slots 0 to 3; the "
        "device uses slot 3; slot 3 is already used by driver 0x204; the broadcast frame now "
        "carries 0x205's target there, while Motor.set_target(3, ...) and Motor.get_feedback(3) "
        "still address 0x204",
        "[Motor] set_target(1000) on driver 0x204 (slot 3, position mode) is out of range: sent as "
        "327.67 rad, the limit of its slot (-327.68 to 327.67 rad); targets are in rad, not degrees",
        "[Motor] set_target(nan) on driver 0x201 (slot 0, speed mode) is not a number: sent as 0",
        # A second later, every repeat counted.
        "[Motor] set_target(1000) on driver 0x204 (slot 3, position mode) is out of range: sent as "
        "327.67 rad, the limit of its slot (-327.68 to 327.67 rad); targets are in rad, not degrees"
        " (99 similar messages suppressed)",
        "[Motor] set_target(nan) on driver 0x201 (slot 0, speed mode) is not a number: sent as 0"
        " (99 similar messages suppressed)",
    ]
