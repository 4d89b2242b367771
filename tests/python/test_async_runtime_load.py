"""Slow background calls do not stall the rest of the runtime.

Background calls run on the runtime's blocking pool, not on its workers, so even more slow calls
than there are CPUs leave normal timers and CAN devices running.
"""

import os
import time

import pytest
import varnex
from can_support import CanPeer, requires_can
from shutdown_support import run_child

SLOW_CALLS = (os.cpu_count() or 1) + 2


@pytest.mark.skipif(not hasattr(varnex, "timer"), reason="varnex has no `timer` yet (timers are built separately)")
def test_a_normal_timer_keeps_ticking_while_more_slow_calls_than_cpus_run():
    rc, out, err = run_child(
        f"""
        import varnex
        release = threading.Event()
        started = []
        def slow(i):
            started.append(i)
            release.wait(60)
            return i
        handles = [varnex.run_async(slow)(i) for i in range({SLOW_CALLS})]
        while len(started) < {SLOW_CALLS}:
            time.sleep(0.01)
        ticks = []
        timer = varnex.timer(100.0)(lambda: ticks.append(1))()
        time.sleep(1.0)
        print("ticks", len(ticks) >= 20, len(ticks), flush=True)
        print("calls still running", not any(h.is_done() for h in handles), flush=True)
        timer.stop()
        release.set()
        print([h.wait(timeout_ms=30000) for h in handles] == list(range({SLOW_CALLS})), flush=True)
        """,
        timeout=120,
    )
    assert rc == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("ticks True"), lines
    assert lines[1:] == ["calls still running True", "True"]


@requires_can
def test_a_can_device_keeps_receiving_while_more_slow_calls_than_cpus_run():
    bus = "vcan1"
    with CanPeer(bus) as peer:
        device = varnex.CanDeviceNonBlocking(bus)
        release_after = time.monotonic() + 60.0

        def slow(i):
            while time.monotonic() < release_after and not stop:
                time.sleep(0.01)
            return i

        stop = False
        handles = [varnex.run_async(slow)(i) for i in range(SLOW_CALLS)]
        try:
            received = []
            for n in range(20):
                peer.send(0x100 + n, bytes([n]))
                frame = device.receive_timeout(5000)
                received.append(frame)
            assert received == [(0x100 + n, bytes([n])) for n in range(20)]
            assert not any(h.is_done() for h in handles)
        finally:
            stop = True
        assert [h.wait(timeout_ms=60000) for h in handles] == list(range(SLOW_CALLS))
