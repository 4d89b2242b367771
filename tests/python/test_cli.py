"""The `varnex` command (python -m varnex_tools), run as a user runs it: each subcommand once in a
bounded child process, against the simulator and a raw peer on vcan0/vcan1 (in the test VM), and
its usage errors and exit codes on any machine."""

import signal
import subprocess
import time

import varnex
import varnex_tools.__main__
from can_support import CanPeer, requires_can
from child_support import read_until, run_child, start_python, wait_for
from shutdown_support import finish_child
from test_can_provisioning import HARDWARE_DOWN, fake_env, fakes  # noqa: F401 (fakes is a fixture)

RUN_CLI = "import sys, varnex_tools.__main__ as m; sys.exit(m.main(sys.argv[1:]))"


def cli(*args, env=None, timeout=120):
    """Runs `varnex ARGS` to its end, stdin not a terminal: its CompletedProcess."""
    return run_child(RUN_CLI, args=[str(a) for a in args], check=False, env=env, timeout=timeout,
                     stdin=subprocess.DEVNULL)


def start_cli(*args):
    return start_python(["-m", "varnex_tools", *map(str, args)], stdin=subprocess.DEVNULL)


MOTOR = ["motor", "vcan0", "--host", "0x100", "--node", "0x201", "--slot", "0"]


def in_process(capsys, *args):
    """(exit code, stdout, stderr) of main(ARGS) in this process: for what argparse decides
    before any device exists."""
    try:
        code = varnex_tools.__main__.main(list(args))
    except SystemExit as e:
        code = e.code
    out = capsys.readouterr()
    return code, out.out, out.err


def test_every_command_has_help_and_bad_arguments_exit_2(capsys):
    for args, usage in [([], "usage: varnex "), (["monitor"], "usage: varnex monitor "),
                        (["record"], "usage: varnex record "), (["replay"], "usage: varnex replay "),
                        (["motor"], "usage: varnex motor "), ([*MOTOR, "show"], "usage: varnex motor IFACE show"),
                        ([*MOTOR, "calibrate"], "usage: varnex motor IFACE calibrate"),
                        (["sim"], "usage: varnex-sim ")]:
        code, out, err = in_process(capsys, *args, "--help")
        assert code == 0 and out.startswith(usage), (args, out)
    assert "3  the CAN interface does not exist" in in_process(capsys, "--help")[1]
    for args, complaint in [
        (["monitor"], "the following arguments are required: IFACE"),
        (["monitor", "vcan0", "--filter", "123"], "expected ID:MASK in hex"),
        (["record", "vcan0", "f.log", "--duration", "-1"], "expected a positive number of seconds"),
        (["replay", "f.log", "vcan0", "--speed", "0"], "expected a positive factor"),
        (["motor", "vcan0", "--node", "0x201", "show"], "required: --host"),
        (["motor", "vcan0", "--host", "0x100", "--node", "0x201", "--slot", "4", "show"], "a slot is 0, 1, 2 or 3"),
        ([*MOTOR, "set-mode", "pwm"], "invalid choice: 'pwm'"),
        ([*MOTOR, "calibrate", "--yes"], "required: --mode"),
        (["sim", "--node", "zz"], "varnex-sim:"),
    ]:
        code, out, err = in_process(capsys, *args)
        assert code == 2 and complaint in err, (args, err)


def test_failures_before_the_bus_is_touched_say_what_to_do(tmp_path):
    log = tmp_path / "kept.log"
    log.write_text("(1.000000) can0 123#01\n")
    out = cli("record", "nosuch0", log)
    assert out.returncode == 3, out
    assert "error: CAN interface 'nosuch0' does not exist" in out.stderr
    assert "sudo ip link add dev nosuch0 type vcan" in out.stderr
    assert log.read_text() == "(1.000000) can0 123#01\n"  # a missing interface empties no log

    out = cli("replay", tmp_path / "absent.log", "nosuch0")
    assert out.returncode == 1 and "Cannot open log file" in out.stderr, out
    # Refused before any device is opened: on nosuch0 that would have been exit 3.
    out = cli("motor", "nosuch0", "--host", "0x100", "--node", "0x201", "set-mode", "position")
    assert out.returncode == 6 and "refused without --yes" in out.stderr, out


def test_refused_privileges_exit_4_and_name_the_way_to_grant_them(fakes):  # noqa: F811 (the fixture)
    d = fakes(query=HARDWARE_DOWN, rc={"ip.down": 1, "sudo.down": 1})
    out = cli("monitor", "can9", "--duration", "1", env=fake_env(d))
    assert out.returncode == 4, out
    assert "error: 'sudo ip link set dev can9 down' failed" in out.stderr
    assert "CAP_NET_ADMIN" in out.stderr


def report_rows(text):
    """{id text: frames} of the last report of `varnex monitor` (plain output)."""
    last = text.strip().split("\n\n")[-1].splitlines()
    return last[0], {row.split()[0]: int(row.split()[1]) for row in last[2:]}


@requires_can
def test_monitor_counts_the_frames_its_filters_pass_per_id():
    proc = start_cli("monitor", "vcan0", "--duration", "3", "--every", "0.5",
                     "--filter", "123:7FF", "--filter", "12345678:1FFFFFFF")
    read_until(proc, "varnex monitor: listening on vcan0")
    with CanPeer("vcan0") as peer:
        for i in range(20):
            peer.send(0x123, bytes([i]))
            peer.send(0x456, b"\x00")  # filtered out
            if i < 5:
                peer.send(0x12345678, b"\xAB\xCD")
    rc, out, err = finish_child(proc, 60, "after its duration")
    assert rc == 0, err
    header, rows = report_rows(out)
    assert rows == {"123": 20, "12345678": 5}, out
    assert header.startswith("vcan0: ") and ", 25 frames, " in header
    assert (", bus " in header) == hasattr(varnex.CanDeviceNonBlocking, "bus_state")
    assert "AB CD" in out  # the last data of 0x12345678


@requires_can
def test_record_until_ctrl_c_then_replay_onto_another_interface(tmp_path):
    log = tmp_path / "run.log"
    sent = [(0x123, b"\x01\x02", False), (0x12345678, b"", True), (0x7FF, bytes(range(8)), False),
            (0x10, b"\xFF", True)]
    proc = start_cli("record", "vcan0", log)
    read_until(proc, "varnex record: recording vcan0 to")
    with CanPeer("vcan0") as peer:
        for can_id, data, extended in sent:
            peer.send(can_id, data, extended=extended)
    # Ctrl+C once the recording has written them, as a user stops it after a while.
    assert wait_for(lambda: log.read_text().count("\n") == 4)
    proc.send_signal(signal.SIGINT)
    rc, out, err = finish_child(proc, 60, "after Ctrl+C")
    assert rc == 0 and out.splitlines()[-1] == f"varnex record: 4 frames recorded to {log}", (out, err)
    assert [(f.id, f.data, f.is_extended, f.interface) for f in varnex.CanLogReader(log)] == \
        [(i, d, e, "vcan0") for i, d, e in sent]

    with CanPeer("vcan1") as peer:
        out = cli("replay", log, "vcan1", "--speed", "4")
        assert out.returncode == 0, out
        assert out.stdout.splitlines()[-1] == f"varnex replay: 4 frames sent from {log} onto vcan1"
        assert [f[1:] for f in peer.drain(0.5)] == [(i, e, False, d) for i, d, e in sent]


@requires_can
def test_record_into_a_full_disk_fails_with_one_line_and_exit_1():
    proc = start_cli("record", "vcan0", "/dev/full")
    read_until(proc, "varnex record: recording vcan0 to")
    with CanPeer("vcan0") as peer:
        peer.send(0x123, b"\x01")
    rc, out, err = finish_child(proc, 60, "after its write failed")
    assert rc == 1 and "Traceback" not in err, (out, err)
    assert err.startswith("varnex record: error: writing /dev/full: "), err


def config_frames(peer):
    """(byte 3, byte 6) of each DR v1 frame the peer heard: frame type and command."""
    return [(f[4][3], f[4][6]) for f in peer.drain(0.5) if f[4][:3] == b"DR1"]


SETUP_POSITION = [(0x73, 0x03), (0x74, 0x03), (0xFF, 0x12), (0xFF, 0x00)]


@requires_can
def test_motor_commands_against_the_simulator_started_by_varnex_sim():
    sim = start_cli("sim", "--interface", "vcan0")
    read_until(sim, "varnex-sim: ready on vcan0")
    try:
        with CanPeer("vcan0", ids=[0x100]) as host:
            show = start_cli(*MOTOR, "show", "--duration", "2.5", "--every", "0.5")
            read_until(show, "varnex motor: listening to node 0x201 on vcan0")
            end = time.monotonic() + 2.0
            while time.monotonic() < end:  # the group's program: 10 rad/s in slot 0
                host.send(0x100, b"\x64\x00" + bytes(6))
                time.sleep(0.02)
            rc, out, err = finish_child(show, 60, "after its duration")
            assert rc == 0, err
            lines = [line for line in out.splitlines() if line.startswith("node 0x201: position=")]
            assert lines and abs(float(lines[-1].split("speed=")[1].split()[0]) - 10.0) < 1.0, out
            host.drain(0.2)

            out = cli(*MOTOR, "set-mode", "position", "--yes")
            assert out.returncode == 0 and "sent to driver 0x201: set mode position" in out.stdout, out
            read_until(sim, "varnex-sim: node 0x201 mode position (was speed)\n")
            assert config_frames(host) == SETUP_POSITION
            for action, frames in [(["calibrate", "--yes"], [(0x73, 0x03), (0x74, 0x03), (0xFF, 0x01), (0xFF, 0x00)]),
                                   (["enter-configure"], [(0x73, 0x03), (0x74, 0x03)]),
                                   (["exit-configure"], [(0xFF, 0x00)])]:
                out = cli(*MOTOR, *action, "--mode", "position")
                assert out.returncode == 0, out
                assert config_frames(host) == SETUP_POSITION + frames, action
    finally:
        sim.send_signal(signal.SIGTERM)
        sim_rc, sim_out, sim_err = finish_child(sim, 60, "after SIGTERM")
    assert sim_rc == 0, sim_err


@requires_can
def test_replay_loops_until_ctrl_c_and_counts_what_it_sent(tmp_path):
    log = tmp_path / "two.log"
    log.write_text("(0.000000) can0 123#01\n(0.020000) can0 124#02\n")
    with CanPeer("vcan1") as peer:
        proc = start_cli("replay", log, "vcan1", "--loop")
        read_until(proc, "varnex replay: ")
        heard = [peer.recv(10.0) for _ in range(6)]  # three passes
        # Ctrl+C lands anywhere: inside a pass or between two.
        proc.send_signal(signal.SIGINT)
        rc, out, err = finish_child(proc, 60, "after Ctrl+C")
        heard += peer.drain(0.5)
    assert rc == 130, (out, err)
    sent = int(out.splitlines()[-1].split("varnex replay: ")[1].split()[0])
    assert out.splitlines()[-1] == f"varnex replay: {sent} frames sent from {log} onto vcan1 (interrupted)"
    assert [f[1] for f in heard] == [0x123, 0x124] * (len(heard) // 2) + [0x123] * (len(heard) % 2)
    assert sent == len(heard)
