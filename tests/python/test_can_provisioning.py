"""Interface provisioning as the device constructors run it, against scripted `ip` and `sudo`.

Each case runs a child interpreter whose PATH holds only the fakes, constructs a device on a name
that is no real interface, and checks the OSError text, the stderr lines and the commands run.
The C++ unit tests cover the parsing and each branch in depth; these check the path end to end.
"""

import os
import pwd
import re
import signal
import subprocess

import pytest
import varnex
from child_support import run_child, start_child, wait_for

HARDWARE_DOWN = (
    "3: can9: <NOARP,ECHO> mtu 16 qdisc pfifo_fast state DOWN mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0 \n"
    "    can state STOPPED restart-ms 0 \n"
    "\t  bitrate 500000 sample-point 0.875\n"
)
VCAN_DOWN = (
    "2: vcan9: <NOARP> mtu 72 qdisc noqueue state DOWN mode DEFAULT group default qlen 1000\n"
    "    link/can  promiscuity 0  allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n"
)
VCAN_UP = VCAN_DOWN.replace("<NOARP>", "<NOARP,UP,LOWER_UP>")

# Both fakes log their arguments, source <dir>/<name>.sh if there is one, and exit with the
# status found in <dir>/<name>.rc, where name is query, or ip / sudo followed by the command's
# last argument (down, up) or "bitrate".
FAKE = """#!/bin/sh
PATH=/usr/bin:/bin
dir=${0%/*}
me=${0##*/}
echo "$me $*" >> "$dir/log"
case "$*" in
  *"-details link show "*) key=query; [ -f "$dir/query.out" ] && cat "$dir/query.out" ;;
  *" type can bitrate "*) key=$me.bitrate ;;
  *) eval "key=$me.\\${$#}" ;;
esac
[ -f "$dir/$key.sh" ] && . "$dir/$key.sh"
[ -f "$dir/$key.rc" ] && exit "$(cat "$dir/$key.rc")"
exit 0
"""

CLASSES = ["CanDevice", "CanDeviceNonBlocking"]


@pytest.fixture
def fakes(tmp_path):
    count = 0

    def install(programs=("ip", "sudo"), query=None, rc=None, actions=None):
        nonlocal count
        count += 1
        d = tmp_path / str(count)
        d.mkdir()
        for program in programs:
            path = d / program
            path.write_text(FAKE)
            path.chmod(0o755)
        if query is not None:
            (d / "query.out").write_text(query)
        for key, status in (rc or {}).items():
            (d / f"{key}.rc").write_text(str(status))
        for key, script in (actions or {}).items():
            (d / f"{key}.sh").write_text(script)
        return d
    return install


def fake_env(path_dir):
    """The child's environment: only the fakes on PATH."""
    env = {"PATH": str(path_dir), "PYTHONPATH": os.path.dirname(varnex.__file__)}
    # Under tools/sanitizer-tests the module loads only with the sanitizer runtime preloaded, and
    # leak checks need the interpreter's memory on the C heap. Under tools/aarch64-check the
    # emulated interpreter finds its loader and libraries through QEMU_LD_PREFIX.
    env.update({k: v for k, v in os.environ.items()
                if k in ("LD_PRELOAD", "PYTHONMALLOC", "QEMU_LD_PREFIX") or k.endswith("SAN_OPTIONS")})
    return env


def run_with_fakes(code, path_dir):
    """Runs `code` in a child whose PATH holds only the fakes; it must exit 0."""
    out = run_child(code, check=False, env=fake_env(path_dir), stdin=subprocess.DEVNULL)
    assert out.returncode == 0, out.stderr
    return out


def construct(cls, interface, path_dir, prelude="", more_args=""):
    code = (
        "import varnex\n" + prelude +
        "try:\n"
        f"    varnex.{cls}({interface!r}{more_args})\n"
        "    print('created')\n"
        "except OSError as e:\n"
        "    print(e)\n"
    )
    out = run_with_fakes(code, path_dir)
    log = path_dir / "log"
    commands = log.read_text().splitlines() if log.exists() else []
    return out.stdout.strip(), out.stderr.splitlines(), commands


NOTICE_CAN9 = "[CAN] Interface 'can9' needs configuration (up=false, bitrate=500000), configuring..."
SUDO_NOTICE = "[CAN] Need elevated privileges, requesting sudo..."
QUERY = "ip -details link show dev can9"
NOT_FOUND = "CAN Device not found: ENODEV: No such device"


def advice(interface, setup, path_dir):
    """The line that follows a failed sudo pass: what to do instead."""
    return (f"[CAN] To fix: bring '{interface}' up before the program starts (as root: {setup}), "
            "or, for a service, allow its user to run ip through sudo without a password (in "
            f"/etc/sudoers.d/: {pwd.getpwuid(os.geteuid()).pw_name} ALL=(root) NOPASSWD: "
            f"{path_dir}/ip)")


@pytest.mark.parametrize("cls", CLASSES)
def test_without_ip_on_path_the_query_cannot_start(cls, tmp_path):
    assert construct(cls, "can9", tmp_path) == (
        "Failed to run ip: No such file or directory (os error 2)", [], [])


@pytest.mark.parametrize("cls", CLASSES)
def test_failed_query_means_the_interface_does_not_exist(cls, fakes):
    d = fakes(query=HARDWARE_DOWN, rc={"query": 1})
    assert construct(cls, "can9", d) == ("CAN interface 'can9' does not exist", [], [QUERY])


@pytest.mark.parametrize("cls", CLASSES)
def test_interface_is_configured_directly_before_the_socket_is_opened(cls, fakes):
    d = fakes(query=HARDWARE_DOWN)
    assert construct(cls, "can9", d) == (NOT_FOUND, [NOTICE_CAN9], [
        QUERY,
        "ip link set dev can9 down",
        "ip link set dev can9 type can bitrate 1000000",
        "ip link set dev can9 up",
    ])


@pytest.mark.parametrize("cls", CLASSES)
def test_refused_direct_pass_is_repeated_through_sudo_from_the_first_command(cls, fakes):
    d = fakes(query=HARDWARE_DOWN, rc={"ip.bitrate": 2})
    assert construct(cls, "can9", d) == (NOT_FOUND, [NOTICE_CAN9, SUDO_NOTICE], [
        QUERY,
        "ip link set dev can9 down",
        "ip link set dev can9 type can bitrate 1000000",
        "sudo ip link set dev can9 down",
        "sudo ip link set dev can9 type can bitrate 1000000",
        "sudo ip link set dev can9 up",
    ])


@pytest.mark.parametrize("cls", CLASSES)
def test_sudo_failures_stop_provisioning_with_the_command_in_the_message(cls, fakes):
    d = fakes(query=HARDWARE_DOWN, rc={"ip.down": 1, "sudo.bitrate": 1})
    can9_setup = "ip link set dev can9 up type can bitrate 1000000"
    assert construct(cls, "can9", d) == (
        "'sudo ip link set dev can9 type can bitrate 1000000' failed",
        [NOTICE_CAN9, SUDO_NOTICE, advice("can9", can9_setup, d)],
        [QUERY, "ip link set dev can9 down", "sudo ip link set dev can9 down",
         "sudo ip link set dev can9 type can bitrate 1000000"])

    d = fakes(programs=("ip",), query=HARDWARE_DOWN, rc={"ip.down": 1})
    assert construct(cls, "can9", d) == (
        "Failed to run 'sudo ip link set dev can9 down': No such file or directory (os error 2)",
        [NOTICE_CAN9, SUDO_NOTICE, advice("can9", can9_setup, d)],
        [QUERY, "ip link set dev can9 down"])


@pytest.mark.parametrize("cls", CLASSES)
def test_virtual_interface_is_only_brought_up_never_asked_for_a_bit_rate(cls, fakes):
    d = fakes(query=VCAN_DOWN, rc={"ip.up": 1})
    assert construct(cls, "vcan9", d) == (NOT_FOUND, [
        "[CAN] Interface 'vcan9' needs configuration (up=false, bitrate=none), configuring...",
        SUDO_NOTICE,
    ], ["ip -details link show dev vcan9", "ip link set dev vcan9 up", "sudo ip link set dev vcan9 up"])


@pytest.mark.parametrize("cls", CLASSES)
def test_ready_interface_goes_straight_to_opening_the_socket(cls, fakes):
    d = fakes(query=VCAN_UP)
    assert construct(cls, "vcan9", d) == (NOT_FOUND, [], ["ip -details link show dev vcan9"])
    # "lo" exists but is no CAN interface: the socket or its bind fails, reported as IO.
    d = fakes(query=VCAN_UP)
    message, stderr, commands = construct(cls, "lo", d)
    assert message in ("IO: Address family not supported by protocol (os error 97)",
                       "IO: No such device (os error 19)")
    assert (stderr, commands) == ([], ["ip -details link show dev lo"])


CONSTRUCTORS = [("CanDevice", ""), ("CanDeviceNonBlocking", ""), ("Motor", ", 0x100")]


@pytest.mark.parametrize("cls, more_args", CONSTRUCTORS)
def test_another_bit_rate_is_the_one_checked_and_set(cls, more_args, fakes):
    up_at_500k = HARDWARE_DOWN.replace("<NOARP,ECHO>", "<NOARP,UP,LOWER_UP,ECHO>")
    assert construct(cls, "can9", fakes(query=up_at_500k), more_args=more_args + ", bitrate=500000") == (
        NOT_FOUND, [], [QUERY])
    up_at_1m = up_at_500k.replace("bitrate 500000", "bitrate 1000000")
    d = fakes(query=up_at_1m, rc={"ip.bitrate": 2, "sudo.bitrate": 1})
    assert construct(cls, "can9", d, more_args=more_args + ", bitrate=250000") == (
        "'sudo ip link set dev can9 type can bitrate 250000' failed",
        ["[CAN] Interface 'can9' needs configuration (up=true, bitrate=1000000), configuring...",
         SUDO_NOTICE, advice("can9", "ip link set dev can9 up type can bitrate 250000", d)],
        [QUERY, "ip link set dev can9 down", "ip link set dev can9 type can bitrate 250000",
         "sudo ip link set dev can9 down", "sudo ip link set dev can9 type can bitrate 250000"])


RATES = "10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000, 1000000"


@pytest.mark.parametrize("cls, more_args", CONSTRUCTORS)
def test_a_bit_rate_that_is_no_usual_rate_is_refused_before_ip_runs(cls, more_args, fakes):
    d = fakes(query=HARDWARE_DOWN)
    code = "import varnex\n"
    for rate in ["12345", "-1", "2**70", "True", "500000.0", "'500000'"]:
        code += ("try:\n"
                 f"    varnex.{cls}('can9'{more_args}, bitrate={rate})\n"
                 "except Exception as e:\n"
                 "    print(type(e).__name__, e)\n")
    assert run_with_fakes(code, d).stdout.splitlines() == [
        f"ValueError bitrate 12345 is not supported: use one of {RATES} (bit/s)",
        f"ValueError bitrate -1 is not supported: use one of {RATES} (bit/s)",
        f"ValueError bitrate {2**70} is not supported: use one of {RATES} (bit/s)",
        "TypeError argument 'bitrate': must be int or None, not bool",
        "TypeError argument 'bitrate': must be int or None, not float",
        "TypeError argument 'bitrate': must be int or None, not str",
    ]
    assert not (d / "log").exists()


def test_provisioning_lines_reach_logging_as_progress_and_an_error_naming_the_interface(fakes):
    d = fakes(query=HARDWARE_DOWN, rc={"ip.down": 1, "sudo.down": 1})
    code = (
        "import logging, sys, time, varnex\n"
        "class Show(logging.Handler):\n"
        "    def emit(self, r):\n"
        "        print(r.levelname, r.interface, r.getMessage(), sep='|', flush=True)\n"
        "logging.getLogger('v').addHandler(Show())\n"
        "logging.getLogger('v').setLevel(logging.INFO)\n"
        "varnex.log_to('v')\n"
        "try:\n"
        "    varnex.CanDevice('can9')\n"
        "except OSError:\n"
        "    time.sleep(0.5)  # the lines are logged by the module's thread\n"
    )
    out = run_with_fakes(code, d)
    assert out.stdout.splitlines() == [
        f"INFO|can9|{NOTICE_CAN9}", f"INFO|can9|{SUDO_NOTICE}",
        "ERROR|can9|" + advice("can9", "ip link set dev can9 up type can bitrate 1000000", d)]


TROUBLESHOOTING = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "troubleshooting.rst")


def test_troubleshooting_quotes_the_texts_the_module_prints(fakes):
    """Each provisioning text a user can meet is quoted as the module writes it: as an inline
    literal or a line of a literal block, for can0 or vcan0, with user "robot" and /usr/sbin/ip."""
    with open(TROUBLESHOOTING, encoding="utf-8") as f:
        doc = f.read()
    quoted = {" ".join(q.split()) for q in re.findall(r"``(.+?)``", doc, flags=re.S)}
    quoted |= {line.strip() for line in doc.splitlines() if line.startswith("    ")}

    def produced(interface, d):
        message, stderr, _ = construct("CanDevice", interface, d)
        user = pwd.getpwuid(os.geteuid()).pw_name
        return [message] + [line.replace(f"{d}/ip", "/usr/sbin/ip").replace(f": {user} ALL", ": robot ALL")
                            for line in stderr]

    down = fakes(query=HARDWARE_DOWN, rc={"ip.down": 1, "sudo.down": 1})
    texts = (produced("can0", fakes(programs=())) + produced("can0", fakes(rc={"query": 1})) +
             produced("can0", down) +
             produced("can0", fakes(programs=("ip",), query=HARDWARE_DOWN, rc={"ip.down": 1})) +
             produced("vcan0", fakes(query=VCAN_DOWN))[1:])  # where vcan0 exists, it opens
    texts = [t for t in texts if not t.startswith("[CAN] Interface 'can0' needs configuration")]
    assert len(texts) == 9
    assert [t for t in texts if t not in quoted] == []


# ---- children that misbehave, and programs that ignore SIGCHLD ----

def test_with_sigchld_ignored_every_class_still_opens(fakes):
    # The kernel reaps the children itself, so no exit status is ever seen; what ip wrote decides.
    d = fakes(query=HARDWARE_DOWN)
    prelude = "import signal\nsignal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
    for cls, more_args in [("CanDevice", ""), ("CanDeviceNonBlocking", ""), ("Motor", ", 0x100")]:
        message, stderr, _ = construct(cls, "can9", d, prelude, more_args)
        assert (message, stderr) == (NOT_FOUND, [NOTICE_CAN9]), cls


@pytest.mark.parametrize("cls", CLASSES)
def test_a_grandchild_holding_the_output_does_not_hold_the_constructor(cls, fakes):
    # Bounded by construct's time limit: waiting for the grandchild would take 120 s.
    d = fakes(query=VCAN_UP, actions={"query": "sleep 120 &\n"})
    assert construct(cls, "vcan9", d)[0] == NOT_FOUND


HUNG_IP = """
import varnex
try:
    varnex.CanDeviceNonBlocking('can9')
except KeyboardInterrupt:
    print('interrupted', flush=True)
"""


def test_ctrl_c_ends_the_wait_for_an_ip_that_never_exits(fakes):
    d = fakes(actions={"query": 'echo $$ > "$dir/ip.pid"; exec sleep 120\n'})
    child = start_child(HUNG_IP, env=fake_env(d), stdin=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: (d / "ip.pid").exists() and (d / "ip.pid").read_text().strip(), 30)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert (out, child.returncode) == ("interrupted\n", 0), err
    assert not os.path.exists(f"/proc/{int((d / 'ip.pid').read_text())}")  # killed and reaped
