"""Recording and replaying in the candump log format, checked against python-can's can.LogReader
and can-utils' candump and canplayer (both peers of the test VM) on vcan0 and vcan1."""

import shutil
import subprocess
import threading
import time

import pytest

# python-can, the peer that reads our logs: in the project's .venv, not in the other Pythons'.
can = pytest.importorskip("can")

import varnex
from can_support import CanPeer, requires_can, send_paced
from child_support import run_child, wait_for

needs_can_utils = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("candump", "canplayer")),
    reason="needs can-utils (candump, canplayer); tools/setup-env installs them")

# (id, data, extended, remote) as a peer sends them; a remote request's data is its length in
# zeros, as the log and the socket both give it.
FRAMES = [
    (0x123, b"\xde\xad\xbe\xef", False, False),
    (0x000, b"", False, False),
    (0x7FF, bytes(range(1, 9)), False, False),
    (0x005, b"\x01", True, False),  # an extended frame with a small id stays extended
    (0x1FFFFFFF, b"\xff", True, False),
    (0x456, b"", False, True),
    (0x456, bytes(4), False, True),
]


def as_peer_frame(can_id, data, extended, remote):
    """The frame as CanPeer.recv gives it, without the raw id word."""
    return can_id, extended, remote, data


def send_all(peer, frames=FRAMES):
    for can_id, data, extended, remote in frames:
        peer.send(can_id, data, extended=extended, remote=remote)


def logged(frame):
    return frame.id, frame.data, frame.is_extended, frame.is_remote


def python_can_view(message):
    """A python-can message as (id, data, extended, remote); a remote request's data is empty
    there, with its length in dlc."""
    data = bytes(message.dlc) if message.is_remote_frame else bytes(message.data)
    return message.arbitration_id, data, message.is_extended_id, message.is_remote_frame


def test_written_log_reads_back_the_same_in_python_can_and_in_our_reader(tmp_path):
    path = tmp_path / "written.log"
    stamps = [1733822400.123456 + k * 0.000125 for k in range(len(FRAMES))]
    with varnex.CanLogWriter(path, interface="vcan0") as writer:
        for (can_id, data, extended, remote), stamp in zip(FRAMES, stamps):
            writer.write(can_id, data, timestamp=stamp, extended=extended, remote=remote)
        writer.write(0x080, bytes(8), timestamp=stamps[-1], interface="can1", error=True)
    lines = path.read_text().splitlines()
    assert lines[0] == "(1733822400.123456) vcan0 123#DEADBEEF"
    assert lines[3].endswith(" 00000005#01") and lines[6].endswith(" 456#R4")
    assert lines[-1] == f"({stamps[-1]:.6f}) can1 20000080#0000000000000000"

    ours = list(varnex.CanLogReader(path))
    theirs = list(can.LogReader(str(path)))
    assert [logged(f) for f in ours[:-1]] == [python_can_view(m) for m in theirs[:-1]] == FRAMES
    assert [f.timestamp for f in ours] == pytest.approx(stamps + stamps[-1:], abs=1e-6)
    assert [m.timestamp for m in theirs] == pytest.approx(stamps + stamps[-1:], abs=1e-6)
    assert {f.interface for f in ours[:-1]} == {m.channel for m in theirs[:-1]} == {"vcan0"}
    assert (ours[-1].is_error, ours[-1].id, ours[-1].interface) == (True, 0x80, "can1")
    assert theirs[-1].is_error_frame and not any(m.is_error_frame for m in theirs[:-1])
    # A frame is a tuple too.
    assert tuple(ours[0]) == (ours[0].timestamp, "vcan0", 0x123, b"\xde\xad\xbe\xef", False, False, False)


def test_writer_refuses_what_no_line_holds_and_reader_names_the_bad_line(tmp_path):
    path = tmp_path / "bad.log"
    writer = varnex.CanLogWriter(path)
    for kwargs, message in [
        (dict(id=0x800, data=b"", extended=False), "standard CAN id above 0x7FF: 0x800"),
        (dict(id=0x20000000, data=b""), "CAN ID too large"),
        (dict(id=1, data=bytes(9)), "Payload is larger than CAN maximum of 8 bytes"),
        (dict(id=1, data=b"", interface="can 0"), "interface name must be one word: 'can 0'"),
        (dict(id=1, data=b"", timestamp=-1.0), "timestamp must be seconds since the epoch, zero or more"),
    ]:
        with pytest.raises(ValueError) as err:
            writer.write(**kwargs)
        assert str(err.value) == message
    writer.write(1, b"", timestamp=1.5)  # the writer's interface by default: can0
    writer.close()
    with pytest.raises(ValueError, match="is closed"):
        writer.write(1, b"")
    assert path.read_text() == "(1.500000) can0 001#\n"

    path.write_text("(1.0) can0 001#\n\n(2.0) can0 12#0\n(3.0) can0 002#\n")
    reader = varnex.CanLogReader(path)
    assert next(reader).id == 1
    with pytest.raises(ValueError) as err:
        next(reader)
    assert str(err.value) == f"{path}, line 3: bad data '0'"
    assert [f.id for f in reader] == [2]  # reading goes on after the bad line
    with pytest.raises(OSError, match="Cannot open log file"):
        varnex.CanLogReader(tmp_path / "missing.log")
    with varnex.CanLogWriter(tmp_path / "other.log") as writer, \
            pytest.raises(TypeError, match="argument 'device' must be CanDeviceNonBlocking, not str"):
        writer.record("vcan0")


@requires_can
@needs_can_utils
def test_recording_is_read_by_python_can_and_played_by_canplayer_onto_another_bus(tmp_path):
    path = tmp_path / "recorded.log"
    with varnex.CanDeviceNonBlocking("vcan0") as device, CanPeer("vcan0") as sender, \
            varnex.CanLogWriter(path) as writer:
        recording = writer.record(device)
        with pytest.raises(RuntimeError, match="vcan0 is already being recorded"):
            writer.record(device)
        before = time.time()
        # The first frame is sent while a receive waits, which then reads the socket itself as
        # often as the device's task does: the recording sees frames either way, and the
        # device's own receives still get every frame.
        threading.Timer(0.2, send_all, (sender, FRAMES[:1])).start()
        got = [device.recv(timeout=5)]
        assert wait_for(lambda: len(path.read_text().splitlines()) == 1)
        # The rest come right after that line was flushed, and nothing after them: their lines
        # still reach the file within the flush period, before the recording stops.
        send_all(sender, FRAMES[1:])
        got += [device.recv(timeout=5) for _ in FRAMES[1:]]
        assert got == [(f[0], f[1]) for f in FRAMES]
        assert wait_for(lambda: len(path.read_text().splitlines()) == len(FRAMES))
        assert recording.frames == len(FRAMES)
        recording.stop()
        assert not recording.running
        # Stopped, it lets go of the device: another recording may start, here for 0.2 s.
        timed = writer.record(device, duration=0.2)
        assert timed.wait(timeout=10) and not timed.running and timed.frames == 0
    ours = list(varnex.CanLogReader(path))
    assert [logged(f) for f in ours] == [python_can_view(m) for m in can.LogReader(str(path))] == FRAMES
    assert all(before - 0.5 <= f.timestamp <= time.time() for f in ours)
    assert [f.timestamp for f in ours] == sorted(f.timestamp for f in ours)

    with CanPeer("vcan1") as receiver:
        subprocess.run(["canplayer", "-I", str(path), "vcan1=vcan0"], check=True, timeout=60)
        played = [receiver.recv(timeout=5) for _ in FRAMES]
    assert [frame[1:] for frame in played if frame] == [as_peer_frame(*f) for f in FRAMES]


@requires_can
@needs_can_utils
def test_candump_log_is_read_by_us_and_replayed_onto_another_bus_with_its_gaps(tmp_path):
    path = tmp_path / "candump.log"
    with open(path, "w") as out, CanPeer("vcan0") as sender:
        candump = subprocess.Popen(["candump", "-L", "-n", str(len(FRAMES)), "vcan0"], stdout=out)
        try:
            time.sleep(1.0)  # for candump to bind its socket: it tells nobody when it has
            for frame in FRAMES:
                send_all(sender, [frame])
                time.sleep(0.2)  # gaps for the replay to keep
            candump.wait(timeout=30)  # it ends after -n frames
        finally:
            candump.kill()
    recorded = list(varnex.CanLogReader(path))
    assert [logged(f) for f in recorded] == FRAMES
    span = recorded[-1].timestamp - recorded[0].timestamp

    with varnex.CanDeviceNonBlocking("vcan1") as device, CanPeer("vcan1") as receiver:
        replay = varnex.replay(path, device)
        first = receiver.recv(timeout=5)
        started = time.monotonic()
        rest = [receiver.recv(timeout=5) for _ in FRAMES[1:]]
        elapsed = time.monotonic() - started
        assert replay.wait(timeout=10) and replay.frames == len(FRAMES)
        assert [f[1:] for f in [first, *rest] if f] == [as_peer_frame(*f) for f in FRAMES]
        assert elapsed >= span - 0.05  # the gaps are kept (a loaded machine only adds to them)

        # Ten times faster, from a reader: what took `span` now ends well before it.
        started = time.monotonic()
        fast = varnex.replay(varnex.CanLogReader(path), device, speed=10)
        assert fast.wait(timeout=10)
        assert time.monotonic() - started < span * 0.7
        assert len(receiver.drain()) == len(FRAMES)

        # A line that is not a frame ends a replay, after the frames before it.
        broken = tmp_path / "broken.log"
        broken.write_text(path.read_text().splitlines()[0] + "\n(1.0) vcan0 123#XY\n")
        ended = varnex.replay(broken, device)
        with pytest.raises(ValueError, match=r"broken.log, line 2: bad data 'XY'"):
            ended.wait(timeout=10)
        assert ended.frames == 1 and len(receiver.drain()) == 1

        with pytest.raises(ValueError, match="speed must be a positive number"):
            varnex.replay(path, device, speed=0)
        with pytest.raises(TypeError, match="must be CanDeviceNonBlocking"):
            varnex.replay(path, receiver)


@requires_can
def test_recording_at_the_full_bus_rate_loses_nothing(tmp_path):
    count = 16000  # two seconds of a 1 Mbit/s bus at 8,000 frames/s
    path = tmp_path / "full.log"
    with varnex.CanDeviceNonBlocking("vcan0") as device, varnex.CanLogWriter(path) as writer:
        recording = writer.record(device, takes_all=True)  # nobody receives: nothing piles up
        rate = send_paced("vcan0", 0x201, count)
        assert wait_for(lambda: recording.frames == count, timeout=30), (recording.frames, rate)
        assert device.recv(timeout=0) is None  # taken by the recording only
        recording.stop()
    frames = list(varnex.CanLogReader(path))
    # Every frame is there, in order (each carries its number).
    assert [int.from_bytes(f.data, "little") for f in frames] == list(range(count)), f"sent at {rate:.0f} frames/s"
    assert {f.id for f in frames} == {0x201}


@requires_can
def test_a_dropped_recording_stops_and_the_device_can_be_recorded_again(tmp_path):
    # In a child: a recording whose handle is dropped must stop then and there, writing what it
    # holds, and leave the device to the next recording; one that ends by its duration with its
    # handle dropped must not take the process down with it.
    result = run_child(
        """
        import gc, sys, time
        import varnex
        from can_support import CanPeer
        from child_support import wait_for

        first, second, timed = sys.argv[1:4]
        with varnex.CanDeviceNonBlocking("vcan0") as device, CanPeer("vcan0") as peer:
            with varnex.CanLogWriter(first) as writer:
                recording = writer.record(device, takes_all=True)
                peer.send(0x101, b"\x01")
                assert wait_for(lambda: recording.frames == 1)
                del recording
                gc.collect()
                peer.send(0x102, b"\x02")  # after the stop: the device's receives get it
                assert device.recv(timeout=5)[0] == 0x102
                with varnex.CanLogWriter(second) as other:
                    again = other.record(device)
                    peer.send(0x103, b"\x03")
                    assert wait_for(lambda: again.frames == 1)
                    again.stop()
            with varnex.CanLogWriter(timed) as writer:
                writer.record(device, duration=0.2)  # handle dropped at once
                time.sleep(0.5)
            try:
                writer.record(device)
            except ValueError as e:
                assert "is closed" in str(e), e
            else:
                raise AssertionError("a closed writer started a recording")
        print("done")
        """,
        args=[str(tmp_path / name) for name in ("first.log", "second.log", "timed.log")],
        timeout=60,
    )
    assert result.stdout.strip() == "done", result
    assert [f.id for f in varnex.CanLogReader(tmp_path / "first.log")] == [0x101]
    assert [f.id for f in varnex.CanLogReader(tmp_path / "second.log")] == [0x103]
