"""Motor.start_broadcast on a real bus (vcan0): the frames a peer sees while Python is busy, the
watchdog, a stalled bus, every way a broadcast ends, and the receive task on a shared bus.

Rates are checked with generous bounds (bench/broadcast.py measures them): the guest is slow and
the machine shared.
"""

import signal
import textwrap
import time

import pytest
import varnex
from can_support import CanPeer, requires_can
from child_support import DROP_REALTIME_RIGHT, run_child, wait_for
from fault_support import FAULTS, fault_interfaces, requires_fault_injection
from shutdown_support import finish_child, signal_when_listening, start_child

pytestmark = requires_can

BUS = "vcan0"
HOST = 0x100


def targets(peer, quiet=0.3):
    """The target frames the peer heard (configuration frames on the host id left out)."""
    return [f[4] for f in peer.drain(quiet) if f[4][:3] != b"DR1"]


def slot(data, i):
    return int.from_bytes(data[2 * i:2 * i + 2], "little", signed=True)


@pytest.fixture
def motor():
    m = varnex.Motor(BUS, HOST)
    yield m
    m.close()


def test_arguments_and_the_one_broadcast_per_group(motor):
    with pytest.raises(ValueError, match="frequency_hz must be positive"):
        motor.start_broadcast(0)
    with pytest.raises(ValueError, match="requires realtime=True"):
        motor.start_broadcast(20000.0)
    for bad in (0.0, -1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="watchdog must be a positive"):
            motor.start_broadcast(100.0, watchdog=bad)
    with pytest.raises(ValueError, match="priority must be from 1 to 99"):
        motor.start_broadcast(100.0, priority=0)
    with pytest.raises(TypeError):
        motor.start_broadcast(100.0, True)  # realtime is keyword-only
    assert varnex.get_task_manager().timer_count == 0  # nothing of those started
    with motor.start_broadcast(100.0) as handle:
        assert handle.is_running() and handle.precision_mode() == "high"
        with pytest.raises(RuntimeError, match=r"already running on this Motor \(TimerHandle id="):
            motor.start_broadcast(50.0)
    # Stopped: the next one may start at once.
    with motor.start_broadcast(50.0, realtime=True) as again:
        assert again.precision_mode() == "realtime"
    motor.close()
    with pytest.raises(RuntimeError, match="is closed"):
        motor.start_broadcast(100.0)


def test_frames_follow_the_targets_and_keep_their_rate_while_python_is_busy(motor):
    dev = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
    dev.set_target(1.0)
    with CanPeer(BUS, ids=[HOST]) as peer:
        peer.make_room_for_bursts()
        handle = motor.start_broadcast(1000.0)
        start = time.monotonic()
        changed = False
        while time.monotonic() - start < 2.0:  # pure Python: the GIL is given up every 5 ms
            if not changed and time.monotonic() - start > 1.0:
                dev.set_target(-2.0)
                changed = True
        handle.stop()
        seen = targets(peer)
    values = [slot(d, 0) for d in seen]
    # A sender that needs the GIL gets at most about two frames per switch interval here (under
    # 40 % of the periods); the broadcast, which needs none, most of them.
    assert len(values) >= 0.5 * 2.0 * 1000, len(values)
    assert values[0] == 10 and values[-1] == -20
    assert set(values) == {10, -20}
    assert handle.tick_count() == len(values)


def test_watchdog_trips_holds_the_reported_position_and_a_set_resumes(motor):
    lines = []
    speed = motor.add_device(0, 0x201, "speed")
    pos = motor.add_device(1, 0x202, "position")
    with CanPeer(BUS) as driver:
        driver.send(0x202, bytes.fromhex("0000c03f00000000"))  # position 1.5 rad
        assert wait_for(lambda: pos.feedback_count == 1)
    speed.set_target(3.0)
    pos.set_target(2.0)
    varnex.set_diagnostic_handler(lines.append)
    try:
        with CanPeer(BUS, ids=[HOST]) as peer:
            handle = motor.start_broadcast(200.0, watchdog=0.3)
            for _ in range(20):
                motor.feed_watchdog()  # holds the targets: no trip
                time.sleep(0.02)
            assert motor.watchdog_trips == 0
            assert wait_for(lambda: motor.watchdog_trips == 1)
            assert (speed.get_target(), pos.get_target()) == (0.0, 1.5)
            time.sleep(0.05)
            speed.set_target(4.0)
            time.sleep(0.05)
            handle.stop()
            seen = [(slot(d, 0), slot(d, 1)) for d in targets(peer)]
        assert wait_for(lambda: len(lines) >= 1), lines
    finally:
        varnex.set_diagnostic_handler(None)
    assert lines == ["[Motor] watchdog: no target set for 0.3 s; targets made safe (speed and current 0, "
                     "position held)"]
    assert seen[0] == (30, 200)
    safe_at = seen.index((0, 150))
    assert set(seen[:safe_at]) == {(30, 200)}
    resumed = seen.index((40, 150))
    assert set(seen[safe_at:resumed]) == {(0, 150)}
    assert seen[-1] == (0, 150)  # the end: safe again, the last frame
    assert motor.watchdog_trips == 1


@requires_fault_injection
def test_a_stalled_bus_skips_periods_and_sends_the_current_targets_when_it_is_back(capfd):
    # On the device's end of a vxcan pair a plugged queue holds frames as a bus without ACK does;
    # the node at the other end sees only what really went through.
    with fault_interfaces():
        stall = FAULTS["tx_stalled"]()
        motor = varnex.Motor(stall.device_side, HOST)
        dev = motor.add_device(0, 0x201, "current")
        dev.set_target(1.0)
        with CanPeer(stall.node_side, ids=[HOST]) as peer:
            peer.make_room_for_bursts()
            handle = motor.start_broadcast(200.0)
            time.sleep(0.3)
            stall.inject()
            time.sleep(0.2)
            targets(peer, 0.1)  # what went through before the stall
            skipped, written = motor.broadcast_skipped, handle.tick_count()
            time.sleep(0.5)  # 100 periods of the stall
            dev.set_target(2.0)
            time.sleep(0.1)
            assert motor.broadcast_skipped >= skipped + 50
            stall.restore()
            time.sleep(0.3)
            handle.stop()
            after = [slot(d, 0) for d in targets(peer)]
            written = handle.tick_count() - written
        motor.close()
    # Only what the kernel held when the stall began comes out late (the group's send buffer is
    # kept to a few frames); with the default buffer about 140 old frames would come first.
    old = after.index(200)
    assert old <= 10, after[:20]
    assert set(after[old:]) == {200}
    # The skipped periods never reach the bus later (no backlog, no catch-up burst).
    assert len(after) - old <= written, (len(after), written)
    lines = [x for x in capfd.readouterr().err.splitlines() if "broadcast skipped" in x]
    assert lines[0] == ("[Motor] broadcast skipped a period: no room to write it at once (transmit "
                        "queue full or frames queued ahead)")
    assert len(lines) <= 4, lines  # one a second, however many periods were skipped


def test_repeated_foreign_frames_print_one_line_per_id_and_then_a_count(motor, capfd):
    with CanPeer(BUS) as node:
        for k in range(200):
            node.send(0x7E5, bytes([k, 0, 0, 0, 0, 0, 0, 0]))
            node.send(0x7E6, bytes([k]))
            if k % 20 == 19:
                time.sleep(0.005)  # bursts a socket's receive buffer holds
        time.sleep(1.5)  # the window passes; the receive task summarises on its next turn
    lines = capfd.readouterr().err.splitlines()
    first = {0x7E5: "[Motor] unmatched feedback frame: id=0x7E5, data=[0, 0, 0, 0, 0, 0, 0, 0]",
             0x7E6: "Warning: ignoring CAN frame 0x7E6 with unexpected length 1"}
    for can_id, line in first.items():
        mine = [x for x in lines if f"0x{can_id:X}" in x]
        assert mine[0] == line
        assert 2 <= len(mine) <= 3, mine
        # Every frame is printed or counted: 200 in all (a summary repeats a printed line).
        counts = [int(x.rsplit("(", 1)[1].split()[0]) for x in mine if x.endswith("suppressed)")]
        assert 200 <= len(mine) + sum(counts) <= 200 + len(mine), mine


ENDS = {
    "stop": "handle.stop()",
    "shutdown_all": "varnex.shutdown_all()",
    "close": "motor.close()",
    "drop": "del motor",
    "sigterm": "announce_when_listening(); print(varnex.block_all(), flush=True)",
    # The interpreter exits with the broadcast running, the group and the handle still held (by a
    # daemon thread): no object's end stops it, the exit itself does.
    "exit": "threading.Thread(target=lambda keep=(motor, handle): time.sleep(60), daemon=True)"
            ".start(); del motor, handle",
}


@pytest.mark.parametrize("end", list(ENDS))
def test_every_end_sends_the_safe_frame_last(end):
    code = f"""
    import varnex
    motor = varnex.Motor("{BUS}", {HOST})
    speed = motor.add_device(0, 0x201, "speed")
    pos = motor.add_device(1, 0x202, "position")
    speed.set_target(5.0)
    pos.set_target(0.25)
    handle = motor.start_broadcast(200.0, watchdog=30.0)
    time.sleep(0.2)
    {ENDS[end]}
    time.sleep(0.2)
    """
    with CanPeer(BUS, ids=[HOST]) as peer:
        peer.make_room_for_bursts()
        proc = start_child(code)
        if end == "sigterm":
            rc, out, err = signal_when_listening(proc, signal.SIGTERM)
            assert out.splitlines()[-1] == "SIGTERM"
        else:
            rc, out, err = finish_child(proc, 60)
        seen = targets(peer)
    assert rc == 0, err
    assert "dropped while still running" not in err
    running = bytes.fromhex("3200190000000000")  # speed 5 rad/s, position 0.25 rad
    safe = bytes.fromhex("0000190000000000")     # speed 0, position held
    assert seen.count(running) >= 5, seen[:5]
    assert seen[-1] == safe
    assert seen.index(safe) == len(seen) - 1


def test_priority_without_the_right_raises_permission_error_and_starts_nothing():
    out = run_child(DROP_REALTIME_RIGHT + textwrap.dedent(f"""
    import varnex
    motor = varnex.Motor("{BUS}", {HOST})
    try:
        motor.start_broadcast(100.0, priority=50)
    except PermissionError as e:
        print(str(e))
    print(varnex.get_task_manager().total_count, motor.broadcast_skipped)
    """)).stdout.splitlines()
    assert out[0].startswith("SCHED_FIFO priority 50 is not permitted for this process")
    assert "CAP_SYS_NICE" in out[0] and "limits.conf" in out[0] and "LimitRTPRIO=" in out[0]
    assert out[1] == "0 0"
