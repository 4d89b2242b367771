"""Checked by mypy --strict --warn-unused-ignores, never run.

Each assert_type pins what the stubs infer; each "type: ignore[code]" marks a mistake the
stubs must catch (an ignore that is no longer needed fails the check).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal

from typing_extensions import assert_type

import varnex

if TYPE_CHECKING:
    from varnex import Feedback, ReceivedFrame, TaskStatus


def can(dev: varnex.CanDevice, nb: varnex.CanDeviceNonBlocking) -> None:
    dev.send(0x123, b"\x01\x02")
    dev.send(0x123, [1, 2])
    dev.send(0x123, bytearray(2))
    dev.send(0x123, "ab")  # type: ignore[arg-type]
    assert_type(dev.receive(), tuple[int, bytes])
    assert_type(nb.try_receive(), tuple[int, bytes] | None)
    assert_type(nb.receive_timeout(10), tuple[int, bytes] | None)
    assert_type(nb.interface(), str)
    nb.set_filters([{"can_id": 0x200, "can_mask": 0x7F0}, {"can_id": 1, "can_mask": 1, "extended": True}, (0x300, 0x7FF)])
    dev.set_filters(None)
    varnex.CanDevice("can0", filters=[(0x100, 0x7FF)])
    varnex.CanDevice("can0", [(0x100, 0x7FF)])  # type: ignore[call-arg]
    nb.set_filters([{"can_id": 0x200}])  # type: ignore[list-item]
    frame = dev.recv_frame(0.1)
    assert_type(frame, "ReceivedFrame | None")
    if frame is not None:
        can_id, data = frame
        assert_type(data, bytes)
        assert_type(frame.timestamp, float | None)


def motor() -> None:
    m = varnex.Motor("can0", 0x100)
    varnex.Motor("can0", host_id=0x100)
    varnex.Motor("can0")  # type: ignore[call-overload]
    varnex.Motor("can0", host=0x100, host_id=0x100)  # type: ignore[call-overload]
    d = m.add_device(slot_index=0, node_id=0x201, mode="speed")
    m.add_device(0, 0x202, "pwm")  # type: ignore[arg-type]
    fb = d.get_feedback()
    assert_type(fb, Feedback)
    assert_type(fb["position"], float)
    fb["torque"]  # type: ignore[typeddict-item]
    assert_type(m.get_feedback(0), Feedback | None)
    assert_type(m.host, int)
    d.set_foc_mode("position")


def timers() -> None:
    @varnex.precision_timer(1000.0, realtime=True)
    def control(gain: float, name: str) -> None: ...

    handle = control(2.0, "left")
    control("left", 2.0)  # type: ignore[arg-type]
    control(2.0)  # type: ignore[call-arg]
    assert_type(handle, varnex.TimerHandle)
    assert_type(handle.precision_mode(), Literal["normal", "high", "realtime"])

    @varnex.timer(10.0)
    def tick() -> int:
        return 1

    tick().stop()
    varnex.timer(10.0)(42)  # type: ignore[arg-type]
    varnex.precision_timer(1000.0, spin="adaptive")(tick)
    varnex.precision_timer(1000.0, spin="auto")  # type: ignore[arg-type]


def background() -> None:
    @varnex.run_async
    def double(x: int) -> int:
        return x * 2

    h = double(21)
    assert_type(h, varnex.AsyncHandle[int])
    assert_type(h.wait(timeout_ms=100), int | None)
    assert_type(h.try_result(), int | None)
    double("21")  # type: ignore[arg-type]
    wide: varnex.AsyncHandle[object] = h  # handles are covariant in their result
    del wide
    assert_type(h.result(0.5), int)
    assert_type(h.result(timeout=None), int)
    assert_type(h.exception(1), BaseException | None)
    h.result("1")  # type: ignore[arg-type]

    def on_done(handle: varnex.AsyncHandle[int]) -> None: ...

    h.add_done_callback(on_done)
    h.add_done_callback(lambda handle: print(handle.task_id))
    h.add_done_callback(lambda: None)  # type: ignore[arg-type, misc]


async def awaiting(h: varnex.AsyncHandle[int]) -> None:
    assert_type(await h, int)


class Arm:
    @varnex.run_async
    def move(self, x: int) -> int:
        return x

    @varnex.timer(10.0)
    def tick(self, gain: float) -> None: ...


def decorated_methods(arm: Arm) -> None:
    assert_type(arm.move(3), varnex.AsyncHandle[int])
    arm.move("3")  # type: ignore[arg-type]
    assert_type(arm.tick(2.0), varnex.TimerHandle)
    arm.tick()  # type: ignore[call-arg]
    assert_type(Arm.move(arm, 3), varnex.AsyncHandle[int])  # through the class: self explicit
    Arm.move(3)  # type: ignore[arg-type, call-arg]


def feedback_freshness(d: varnex.Device) -> None:
    assert_type(d.feedback_age(), float | None)
    assert_type(d.feedback_count, int)
    d.feedback_count = 1  # type: ignore[misc]


def shutdown() -> None:
    assert_type(varnex.block_all(), Literal["SIGINT", "SIGTERM"])
    reason, clean = varnex.block_until()
    assert_type(reason, Literal["signal:SIGINT", "signal:SIGTERM"])
    assert_type(varnex.block_until(wait_ms=100), tuple[Literal["signal:SIGINT", "signal:SIGTERM", "timeout"], bool])
    assert_type(clean, bool)
    status = varnex.get_task_manager().status()
    assert_type(status, TaskStatus)
    assert_type(status["total"], int)
    varnex.shutdown_all(timeout_ms=None)
    varnex.TaskManager().running_count()  # type: ignore[operator]
