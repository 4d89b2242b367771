"""Hostile arguments: every conversion ends in a clean Python exception or the right value.

Each property compares the module with Python's own reading of the same value (float(), an
index in range, `is True`): what Python accepts the module accepts with that value, what it
refuses ends in an ordinary exception raised before anything started, never a crash.
Conversions that only CAN objects reach (frame ids and payloads) run in the CAN VM; the
32-bit float of Device.set_target needs a Motor on a bus and is not covered here.
"""

import operator
import textwrap

import pytest
import varnex
from can_support import CanPeer, requires_can
from child_support import run_child
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

LEAN = settings(max_examples=60, deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])


class Raises(Exception):
    pass


class Index:
    """An object usable as an index, whose __index__ may raise or misbehave."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Float:
    """An object with __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Float({self.value!r})"


BIG_INTS = st.integers(min_value=-(2**70), max_value=2**70) | st.sampled_from(
    [0, 1, 255, 256, 2**32 - 1, 2**32, 2**64 - 1, 2**64, -1, -(2**63)])
WRONG = st.sampled_from([None, "1", b"1", [1], (1,), {}, object(), 1j, "\x00"])
MISBEHAVING = st.sampled_from([Raises("boom"), "not an int", 1.5, None])
INDEXES = BIG_INTS | BIG_INTS.map(Index) | MISBEHAVING.map(Index) | st.booleans() | WRONG
FLOATS = (st.floats(allow_nan=True, allow_infinity=True) | BIG_INTS | st.floats().map(Float)
          | MISBEHAVING.map(Float) | st.sampled_from([10**400, -(10**400)]) | WRONG)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # every failure must be an ordinary exception
        return ("raised", type(e))


def python_float(value):
    """Python's float() of a value, or the exception type it raises (as the module must)."""
    if isinstance(value, (str, bytes)):
        return ("raised", TypeError)  # float("1") parses text; a float argument never does
    return outcome(lambda: float(value))


def python_index(value, bits):
    """The unsigned index the module must read, or the exception type it must raise."""
    got = outcome(lambda: operator.index(value))
    if got[0] == "raised":
        return got
    return ("ok", got[1]) if 0 <= got[1] < 2**bits else ("raised", OverflowError)


def frequency_outcome(make, value):
    got = outcome(lambda: make(value))
    return ("ok", None) if got[0] == "ok" else got


@LEAN
@given(FLOATS)
def test_frequencies_read_as_python_floats(value):
    expected = python_float(value)
    for make in (varnex.timer, lambda v: varnex.precision_timer(v, realtime=True)):
        got = frequency_outcome(make, value)
        if expected[0] == "raised":
            assert got == expected, (value, got)
        else:
            # The module's verdict is the one it gives for the plain float.
            assert got == frequency_outcome(make, expected[1]), (value, got)


@LEAN
@given(st.booleans() | BIG_INTS | WRONG | st.floats())
def test_realtime_accepts_only_true_and_false(value):
    got = outcome(lambda: varnex.precision_timer(100.0, realtime=value))
    if isinstance(value, bool):
        assert got[0] == "ok" and isinstance(got[1], varnex.PrecisionTimer)
    else:
        assert got == ("raised", TypeError)


@pytest.fixture(scope="module")
def finished():
    handle = varnex.run_async(lambda: "done")()
    assert handle.wait() == "done"
    return handle


@LEAN
@given(INDEXES)
def test_milliseconds_read_as_unsigned_64_bit_indexes(finished, value):
    expected = python_index(value, 64)
    got = outcome(lambda: finished.wait(value))
    if value is None:
        assert got == ("ok", "done")
    elif expected[0] == "ok":
        assert got == ("ok", "done"), (value, got)
    else:
        assert got == expected, (value, got)


@pytest.fixture
def no_ip(tmp_path, monkeypatch):
    """PATH with a fake `ip` that records any run: provisioning fails at once, and shows it ran."""
    fake = tmp_path / "ip"
    fake.write_text(f"#!/bin/sh\necho \"$*\" >> {tmp_path}/ran\nexit 1\n")
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path))
    return tmp_path / "ran"


@LEAN
@given(INDEXES)
def test_host_ids_read_as_unsigned_32_bit_indexes_before_anything_runs(no_ip, value):
    if value is None:
        return  # "missing host CAN id", covered with the Motor tests
    expected = python_index(value, 32)
    no_ip.unlink(missing_ok=True)
    got = outcome(lambda: varnex.Motor("vcan9", host=value))
    if expected[0] == "ok":
        assert got == ("raised", OSError) and no_ip.exists(), (value, got)  # provisioning ran
    else:
        assert got == expected and not no_ip.exists(), (value, got)


@pytest.mark.parametrize("make", [varnex.CanDevice, varnex.CanDeviceNonBlocking,
                                  lambda name: varnex.Motor(name, host=0x100)],
                         ids=["CanDevice", "CanDeviceNonBlocking", "Motor"])
@pytest.mark.parametrize("name", ["lo\x00evil", "\x00", "vcan0\x00"])
def test_an_interface_name_with_a_nul_is_refused_before_anything_runs(no_ip, make, name):
    with pytest.raises(ValueError, match=r"^embedded null character$"):
        make(name)
    assert not no_ip.exists()


# ---- CAN frame conversions: ids and payloads, on vcan0 with a peer that sees every frame ----

PAYLOADS = (st.binary(max_size=12) | st.lists(INDEXES, max_size=10) | st.tuples(BIG_INTS, BIG_INTS)
            | st.binary(max_size=12).map(bytearray) | WRONG | st.just(list(range(100000))))


@pytest.fixture(scope="module")
def bus():
    with CanPeer("vcan0") as peer:
        device = varnex.CanDevice("vcan0")
        yield device, peer
        del device


def expected_payload(data):
    if isinstance(data, (bytes, bytearray)):
        return ("ok", bytes(data))
    if isinstance(data, (str, dict)) or not isinstance(data, (list, tuple)):
        return ("raised", TypeError)
    out = []
    for item in data:
        got = python_index(item, 8)
        if got[0] == "raised":
            return got
        out.append(got[1])
    return ("ok", bytes(out))


@requires_can
@LEAN
@given(st.integers(min_value=0, max_value=0x7FF) | INDEXES, PAYLOADS)
def test_frame_ids_and_payloads_send_exactly_what_python_reads_or_nothing(bus, can_id, data):
    device, peer = bus
    want_id, want_data = python_index(can_id, 32), expected_payload(data)
    got = outcome(lambda: device.send(can_id, data))
    frames = peer.drain(0.02)
    if want_id[0] == "raised":
        assert got == want_id and frames == [], (can_id, got)
    elif want_data[0] == "raised":
        assert got == want_data and frames == [], (data, got)
    elif want_id[1] > 0x1FFFFFFF or len(want_data[1]) > 8:
        assert got == ("raised", OSError) and frames == [], (can_id, data, got)
    else:
        assert got == ("ok", None)
        assert [(f[1], f[4]) for f in frames] == [(want_id[1], want_data[1])]


@requires_can
@pytest.mark.parametrize("grow", [False, True], ids=["cleared", "grown"])
def test_a_payload_list_mutated_by_its_items_converts_from_a_snapshot(grow):
    # A child under the debug allocator (freed memory is overwritten), so a read of a freed
    # item array fails loudly there and not in this process.
    code = textwrap.dedent(
        f"""
        import varnex
        from can_support import CanPeer

        class Shrinking:  # empties (or floods) the list being converted
            def __init__(self, victim, value, grow=False):
                self.victim, self.value, self.grow = victim, value, grow
            def __index__(self):
                self.victim.extend(range(10000)) if self.grow else self.victim.clear()
                return self.value

        with CanPeer("vcan0") as peer:
            device = varnex.CanDevice("vcan0")
            data = []
            data.extend([Shrinking(data, 1, grow={grow}), 2, Shrinking(data, 3), 4])
            device.send(0x123, data)
            print(peer.recv(5.0)[4].hex())
        """
    )
    child = run_child(code, options=["-X", "dev"], check=False)
    assert (child.returncode, child.stdout.strip()) == (0, "01020304"), child.stderr
