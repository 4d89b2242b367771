"""Interface provisioning as the device constructors run it, against scripted `ip` and `sudo`.

Each case runs a child interpreter whose PATH holds only the fakes, constructs a device on a name
that is no real interface, and checks the OSError text, the stderr lines and the commands run.
The C++ unit tests cover the parsing and each branch in depth; these check the path end to end.
"""

import os
import subprocess
import sys

import pytest

import varnex

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

# Both fakes log their arguments and exit with the status found in <dir>/<name>.rc, where name is
# query, or ip / sudo followed by the command's last argument (down, up) or "bitrate".
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
[ -f "$dir/$key.rc" ] && exit "$(cat "$dir/$key.rc")"
exit 0
"""

CLASSES = ["CanDevice", "CanDeviceNonBlocking"]


@pytest.fixture
def fakes(tmp_path):
    count = 0

    def install(programs=("ip", "sudo"), query=None, rc=None):
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
        return d
    return install


def construct(cls, interface, path_dir):
    code = (
        "import varnex\n"
        "try:\n"
        f"    varnex.{cls}({interface!r})\n"
        "    print('created')\n"
        "except OSError as e:\n"
        "    print(e)\n"
    )
    env = {"PATH": str(path_dir), "PYTHONPATH": os.path.dirname(varnex.__file__)}
    # Under tools/sanitizer-tests the module loads only with the sanitizer runtime preloaded, and
    # leak checks need the interpreter's memory on the C heap.
    env.update({k: v for k, v in os.environ.items()
                if k in ("LD_PRELOAD", "PYTHONMALLOC") or k.endswith("SAN_OPTIONS")})
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         timeout=60, stdin=subprocess.DEVNULL)
    assert out.returncode == 0, out.stderr
    log = path_dir / "log"
    commands = log.read_text().splitlines() if log.exists() else []
    return out.stdout.strip(), out.stderr.splitlines(), commands


NOTICE_CAN9 = "[CAN] Interface 'can9' needs configuration (up=false, bitrate=500000), configuring..."
SUDO_NOTICE = "[CAN] Need elevated privileges, requesting sudo..."
QUERY = "ip -details link show can9"
NOT_FOUND = "CAN Device not found: ENODEV: No such device"


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
        "ip link set can9 down",
        "ip link set can9 type can bitrate 1000000",
        "ip link set can9 up",
    ])


@pytest.mark.parametrize("cls", CLASSES)
def test_refused_direct_pass_is_repeated_through_sudo_from_the_first_command(cls, fakes):
    d = fakes(query=HARDWARE_DOWN, rc={"ip.bitrate": 2})
    assert construct(cls, "can9", d) == (NOT_FOUND, [NOTICE_CAN9, SUDO_NOTICE], [
        QUERY,
        "ip link set can9 down",
        "ip link set can9 type can bitrate 1000000",
        "sudo ip link set can9 down",
        "sudo ip link set can9 type can bitrate 1000000",
        "sudo ip link set can9 up",
    ])


@pytest.mark.parametrize("cls", CLASSES)
def test_sudo_failures_stop_provisioning_with_the_command_in_the_message(cls, fakes):
    d = fakes(query=HARDWARE_DOWN, rc={"ip.down": 1, "sudo.bitrate": 1})
    assert construct(cls, "can9", d) == (
        "'sudo ip link set can9 type can bitrate 1000000' failed",
        [NOTICE_CAN9, SUDO_NOTICE],
        [QUERY, "ip link set can9 down", "sudo ip link set can9 down",
         "sudo ip link set can9 type can bitrate 1000000"])

    d = fakes(programs=("ip",), query=HARDWARE_DOWN, rc={"ip.down": 1})
    assert construct(cls, "can9", d) == (
        "Failed to run 'sudo ip link set can9 down': No such file or directory (os error 2)",
        [NOTICE_CAN9, SUDO_NOTICE],
        [QUERY, "ip link set can9 down"])


@pytest.mark.parametrize("cls", CLASSES)
def test_virtual_interface_is_only_brought_up_never_asked_for_a_bit_rate(cls, fakes):
    d = fakes(query=VCAN_DOWN, rc={"ip.up": 1})
    assert construct(cls, "vcan9", d) == (NOT_FOUND, [
        "[CAN] Interface 'vcan9' needs configuration (up=false, bitrate=none), configuring...",
        SUDO_NOTICE,
    ], ["ip -details link show vcan9", "ip link set vcan9 up", "sudo ip link set vcan9 up"])


@pytest.mark.parametrize("cls", CLASSES)
def test_ready_interface_goes_straight_to_opening_the_socket(cls, fakes):
    d = fakes(query=VCAN_UP)
    assert construct(cls, "vcan9", d) == (NOT_FOUND, [], ["ip -details link show vcan9"])
    # "lo" exists but is no CAN interface: the socket or its bind fails, reported as IO.
    d = fakes(query=VCAN_UP)
    message, stderr, commands = construct(cls, "lo", d)
    assert message in ("IO: Address family not supported by protocol (os error 97)",
                       "IO: No such device (os error 19)")
    assert (stderr, commands) == ([], ["ip -details link show lo"])
