"""The programs in examples/ and the simulated drivers (varnex_sim), run as users run them.

Each example runs as a bounded child process with short arguments; its output is checked. The
CAN ones run on vcan0/vcan1 (in the test VM here).
"""

import os
import re
import signal
import struct
import time

import child_support
import pytest
import shutdown_support
from can_support import CanPeer, requires_can
from child_support import read_until

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def start(args):
    # The child finds varnex_sim beside the module: installed side by side, or linked in a build folder.
    return child_support.start_python(args)


def finish(proc, timeout=120):
    return shutdown_support.finish_child(proc, timeout, "after its start")


def run_example(name, *args, timeout=120):
    return finish(start([os.path.join(EXAMPLES, name), *args]), timeout)


def numbers(text, pattern):
    """The groups of pattern's first match in text, as floats."""
    match = re.search(pattern, text, re.MULTILINE)
    assert match, f"{pattern!r} not in:\n{text}"
    return [float(x) for x in match.groups()]


@pytest.mark.parametrize("name, args, expected", [
    ("async_pipeline.py", ["--batches", "4", "--duration", "0.05", "--fail-at", "2"], [
        # Each batch's samples come from a generator seeded with its number.
        r"^batch 0: 1000 samples, mean=0.02, peak=3.57$",
        r"^batch 1: 1000 samples, mean=0.99, peak=3.74$",
        r"^batch 2: failed: OSError: sensor did not answer for batch 2$",
        r"^batch 3: 1000 samples, mean=2.97, peak=6.15$",
        r"^4 batches in \d+\.\d\d s \(0\.20 s of acquisition\)$"]),
    ("shutdown_demo.py", ["--duration", "0.5"], [
        r"^stopped: reason=timeout, clean=True$",
        r"^timer: [1-9]\d* ticks in .* running=False$",
        r"^background call: result=499999500000$"]),
])
def test_example_prints_what_it_did(name, args, expected):
    rc, out, err = run_example(name, *args)
    assert rc == 0, err
    for pattern in expected:
        assert re.search(pattern, out, re.MULTILINE), f"{pattern!r} not in:\n{out}"


def test_shutdown_demo_stops_cleanly_on_sigterm():
    # Run through the shutdown tests' watcher, which says when the wait's listeners exist.
    path = os.path.join(EXAMPLES, "shutdown_demo.py")
    proc = shutdown_support.start_child(
        f"announce_when_listening()\nimport runpy, sys\nsys.argv = [{path!r}]\n"
        f"runpy.run_path({path!r}, run_name='__main__')\n")
    rc, out, err = shutdown_support.signal_when_listening(proc, signal.SIGTERM, timeout=60)
    assert rc == 0, err
    assert "stopped: reason=signal:SIGTERM, clean=True" in out
    assert "background call: result=499999500000" in out
    assert "[varnex] Stopping (reason: signal:SIGTERM), initiating graceful shutdown..." in err
    assert "[varnex] All tasks stopped successfully" in err


def test_first_program_is_the_readme_quick_start_line_for_line():
    readme = open(os.path.join(HERE, "..", "..", "README.md"), encoding="utf-8").read()
    snippet = re.search(r"^```python\n(.*?)^```$", readme, re.MULTILINE | re.DOTALL).group(1)
    program = open(os.path.join(EXAMPLES, "first_program.py"), encoding="utf-8").read()
    code = program[program.index('"""', 3) + 3:].lstrip("\n")
    assert code == snippet


# ---- on a CAN bus ----

@requires_can
def test_can_monitor_counts_frames_per_id():
    proc = start([os.path.join(EXAMPLES, "can_monitor.py"), "--interface", "vcan0",
                  "--duration", "4", "--every", "10"])
    read_until(proc, "listening on vcan0")
    with CanPeer("vcan0") as peer:
        for i in range(20):
            peer.send(0x123, bytes([i]))
        for _ in range(5):
            peer.send(0x1ABCDE, b"\xAA\xBB")
    rc, out, err = finish(proc)
    assert rc == 0, err
    report = out[out.rindex("---"):].splitlines()
    assert report[0].endswith(" s, 25 frames")
    assert [line.split("\t")[:2] for line in report[1:]] == [["0x123", "frames=20"], ["0x1ABCDE", "frames=5"]]
    assert report[1].endswith("last=13") and report[2].endswith("last=aa bb")
    rate = numbers(report[1], r"rate=([\d.]+)/s")[0]
    assert 20 / 5.0 <= rate <= 20 / 3.5  # 20 frames over a run of about 4 s


@requires_can
def test_can_bridge_forwards_both_ways_and_echoes():
    proc = start([os.path.join(EXAMPLES, "can_bridge.py"), "--interface", "vcan0", "--other", "vcan1",
                  "--duration", "6"])
    read_until(proc, "bridging vcan0 <-> vcan1")
    with CanPeer("vcan0") as a, CanPeer("vcan1") as b:
        a.send(0x10, b"ab")
        assert b.recv(10.0)[1:] == (0x10, False, False, b"ab")
        b.send(0x12345, b"")
        assert a.recv(10.0)[1:] == (0x12345, True, False, b"")
    rc, out, err = finish(proc)
    assert rc == 0, err
    assert out.splitlines()[-2:] == ["vcan0 -> vcan1: 1 frames", "vcan1 -> vcan0: 1 frames"]

    proc = start([os.path.join(EXAMPLES, "can_bridge.py"), "--interface", "vcan1", "--echo",
                  "--echo-offset", "0x80", "--duration", "5"])
    read_until(proc, "echoing on vcan1")
    with CanPeer("vcan1") as peer:
        peer.send(0x20, b"\x01")
        assert peer.recv(10.0)[1:] == (0xA0, False, False, b"\x01")
    rc, out, err = finish(proc)
    assert rc == 0 and out.splitlines()[-1] == "vcan1 -> vcan1: 1 frames", err


@requires_can
def test_broadcast_control_keeps_sending_while_the_planner_is_busy_and_trips_once_when_it_hangs():
    sim = start(["-m", "varnex_sim", "--interface", "vcan0"])
    read_until(sim, "varnex-sim: answering host 0x100 on vcan0")
    try:
        rc, out, err = run_example("broadcast_control.py", "--interface", "vcan0", "--duration", "3",
                                   "--rate", "200", "--watchdog", "0.2", "--hang", "0.8")
    finally:
        sim.send_signal(signal.SIGTERM)
        sim_rc, sim_out, sim_err = finish(sim, 60)
    assert rc == 0, err
    frames, rate, skipped = numbers(out, r"broadcast: (\d+) frames, ([\d.]+) Hz \(set 200 Hz\), (\d+) periods")
    # The main thread never waited: a GIL-bound loop would get far fewer (the bench measures it).
    assert frames >= 0.6 * 3 * 200 and frames + skipped >= 0.9 * 3 * 200
    trips, before, after = numbers(out, r"watchdog: (\d+) trip\(s\); left target (-?[\d.]+) rad/s .* (-?[\d.]+) rad/s when")
    assert (trips, after) == (1, 0.0) and before > 6.0
    assert "targets after the last frame: left 0.0, right 0.0" in out
    assert err.count("[Motor] watchdog: no target set for 0.2 s;") == 1
    assert sim_rc == 0


@requires_can
@pytest.mark.parametrize("sim_args", [
    ["--drop", "0.3", "--delay", "20", "--seed", "7"],
    ["--silent-after", "0"],
    ["--wrong-length", "1"],
], ids=["dropped-and-late", "silent", "wrong-length"])
def test_motor_demo_against_the_simulator_command(sim_args):
    sim = start(["-m", "varnex_sim", "--interface", "vcan0", *sim_args])
    read_until(sim, "varnex-sim: answering host 0x100 on vcan0: node 0x201 slot 0 speed, node 0x202 slot 1 speed\n")
    try:
        rc, out, err = run_example("motor_demo.py", "--interface", "vcan0", "--duration", "3")
    finally:
        sim.send_signal(signal.SIGTERM)
        sim_rc, sim_out, sim_err = finish(sim, 60)
    assert rc == 0, err
    assert sim_rc == 0, sim_err
    assert "stopped: timeout, clean=True" in out
    ticks = numbers(out, r"loop: (\d+) ticks")[0]
    heard, targets, answers, dropped, wrong = numbers(
        sim_out, r"heard (\d+) frames, (\d+) target frames; sent (\d+) answers \((\d+) dropped, (\d+) with")
    # One target frame per tick, and the two devices' configuration frames. The demo's count can
    # miss a call still running when the wait returned; the last frame may still be queued
    # when the demo exits.
    assert ticks - 2 <= targets <= ticks + 1 and ticks > 0 and heard >= targets + 8
    left = numbers(out, r"^left: position=(-?[\d.]+) rad speed=(-?[\d.]+)")
    if sim_args[0] == "--drop":
        # Drivers 0x201 and 0x202 each answer every target frame unless the draw drops it.
        assert answers + dropped == 2 * targets and 0 < dropped < answers
        assert left[0] > 5.0 and abs(left[1] - 10.0) < 0.2
        # The right driver was switched to position mode by its configuration frames: it follows
        # the 1 rad sine from below, where speed mode would have integrated 10 rad/s per rad.
        right = numbers(out, r"^right: position=(-?[\d.]+) rad")[0]
        assert 0.0 < abs(right) <= 1.0
    else:
        assert left == [0.0, 0.0]  # no feedback was ever accepted
        if sim_args[0] == "--silent-after":
            assert (answers, dropped, wrong) == (0, 0, 0)
        else:
            assert answers == wrong == 2 * targets
            assert "Warning: ignoring CAN frame 0x201 with unexpected length 7" in err.splitlines()


@requires_can
def test_feedback_plot_writes_the_log_and_a_png_of_the_expected_size(tmp_path):
    pytest.importorskip("matplotlib")
    csv_path, png_path = tmp_path / "run.csv", tmp_path / "run.png"
    rc, out, err = run_example("feedback_plot.py", "--interface", "vcan0", "--simulate", "--duration", "3",
                               "--csv", str(csv_path), "--png", str(png_path), timeout=300)
    assert rc == 0, err
    rows = csv_path.read_text().splitlines()
    assert rows[0] == "t,target,position,speed,current"
    assert f"wrote {len(rows) - 1} rows to {csv_path}" in out and len(rows) > 50
    # The simulated driver follows the 1 rad step: by the end of the step (the timer may pause
    # for a while in the emulated VM, so take the last rows logged before the sine starts)
    # position is near the target.
    step = [tuple(map(float, r.split(","))) for r in rows[1:] if 1.0 <= float(r.split(",")[0]) < 2.0]
    settled = step[-5:]
    assert settled and all(abs(target - position) < 0.2 for _, target, position, _, _ in settled)
    png = png_path.read_bytes()
    assert png[:8] == PNG_SIGNATURE and png[12:16] == b"IHDR"
    assert struct.unpack(">II", png[16:24]) == (800, 400)
    assert len(png) > 10_000 and f"wrote 800x400 plot to {png_path}" in out


@requires_can
def test_first_program_drives_the_simulated_driver_until_ctrl_c():
    sim = start(["-m", "varnex_sim", "--interface", "vcan0"])
    read_until(sim, "varnex-sim: answering host 0x100 on vcan0")
    path = os.path.join(EXAMPLES, "first_program.py")
    proc = shutdown_support.start_child(
        f"announce_when_listening()\nimport runpy\nrunpy.run_path({path!r}, run_name='__main__')\n")
    try:
        read_until(proc, "running; Ctrl+C stops")
        read_until(proc, "listening")
        time.sleep(1.0)  # the program's run time: a user presses Ctrl+C after a while
        proc.send_signal(signal.SIGINT)
        rc, out, err = finish(proc)
    finally:
        sim.send_signal(signal.SIGTERM)
        sim_rc, sim_out, sim_err = finish(sim, 60)
    assert rc == 0, err
    assert sim_rc == 0, sim_err
    ticks = numbers(out, r"^stopped by SIGINT after (\d+) ticks$")[0]
    assert ticks > 0
    # The driver got speed mode and follows 5 rad/s (the simulated motor settles within 0.2 s).
    speed = numbers(out, r"^wheel: \{'position': -?[\d.e-]+, 'speed': (-?[\d.]+),")[0]
    assert abs(speed - 5.0) < 0.5, out
