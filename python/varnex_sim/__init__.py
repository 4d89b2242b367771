"""A simulated motor driver group on a SocketCAN interface, for trying the motor API without hardware.

The simulator is an ordinary peer on the bus: one raw CAN socket (Python's own `socket` module),
no code shared with `varnex`. It plays up to four drivers of one group (by default 0x201 and 0x202 on slots 0 and 1). For every broadcast target
frame from the host id each driver reads its slot, moves a simple motor model toward the target
and answers with a feedback frame on its node id. DR v1 configuration frames addressed to a driver
(or to all) are obeyed silently: inside a session they switch its control mode or zero its position.

From a shell (see `python -m varnex_sim --help`):

    varnex-sim --interface vcan0 --node 0x201:0 --node 0x202:1

From Python, in the background of a program or a test:

    with Simulator("vcan0", host_id=0x100, drivers=[SimulatedDriver(0x201, slot=0)]):
        ...  # a varnex.Motor on vcan0 with host 0x100 now gets feedback from node 0x201

Faults for testing error handling: `Faults(drop=0.1, wrong_length=0.05, delay=0.02)`, and
`Simulator.silent` (or `silent_after`) stops every answer while frames are still heard.
"""

from __future__ import annotations

import heapq
import math
import random
import socket
import struct
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Literal, Optional, Sequence, Tuple, Union, overload

__all__ = [
    "DEFAULT_HOST_ID",
    "DEFAULT_NODES",
    "Faults",
    "Frame",
    "Mode",
    "SimDriver",
    "SimulatedDriver",
    "Simulator",
    "feedback_bytes",
]

Mode = Literal["current", "speed", "position"]
WireFeedback = Tuple[float, int, int]

DEFAULT_HOST_ID = 0x100
# Node id -> slot of the drivers a bare `varnex-sim` plays.
DEFAULT_NODES = ((0x201, 0), (0x202, 1))

# <linux/can.h>: the classic frame record is the id word with flag bits, the length, three bytes
# of padding and eight data bytes, in host byte order.
AF_CAN = getattr(socket, "AF_CAN", 29)
CAN_RAW = getattr(socket, "CAN_RAW", 1)
SOL_CAN_RAW = getattr(socket, "SOL_CAN_RAW", 101)
CAN_RAW_FILTER = getattr(socket, "CAN_RAW_FILTER", 1)
CAN_FRAME = struct.Struct("=IB3x8s")
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x7FF
CAN_EFF_MASK = 0x1FFFFFFF

FEEDBACK = struct.Struct("<fhh")
TARGETS = struct.Struct("<4h")
DR_MAGIC = b"DR1"
DR_OPEN_FIRST, DR_OPEN_SECOND, DR_COMMAND = 0x73, 0x74, 0xFF
DR_ALL = 0xFFFF
MODE_CODES: dict[int, Mode] = {0: "current", 1: "speed", 2: "position"}
# Wire counts per physical unit of a target in each mode.
TARGET_SCALE: dict[Mode, float] = {"current": 100.0, "speed": 10.0, "position": 100.0}

# The motor model: how fast speed follows a speed target, how stiffly position follows a position
# target, torque per ampere over inertia, and viscous friction. Rough numbers of a small motor.
SPEED_TIME_CONSTANT_S = 0.05
POSITION_GAIN_PER_S = 8.0
MAX_SPEED_RAD_S = 50.0
ACCEL_PER_AMP = 40.0
FRICTION_PER_S = 2.0
CURRENT_PER_SPEED_ERROR = 0.2
MAX_CURRENT_A = 20.0
# A gap longer than this between two target frames is treated as a fresh start, not integrated.
MAX_STEP_S = 0.1


def _clamp(value: float, low: float, high: float) -> float:
    return max(low, min(high, value))


def _i16(value: float) -> int:
    if math.isnan(value):
        return 0
    return int(_clamp(round(value), -32768, 32767))


def feedback_bytes(position: float, speed_counts: int, current_counts: int) -> bytes:
    """The 8 data bytes of a feedback frame: position in rad, speed and current in wire counts."""
    return FEEDBACK.pack(position, speed_counts, current_counts)


def pack_frame(can_id: int, data: bytes) -> bytes:
    """A classic frame record; ids above 0x7FF go out as extended frames, as the host does."""
    if len(data) > 8:
        raise ValueError(f"a classic CAN frame holds at most 8 data bytes, got {len(data)}")
    word = can_id | CAN_EFF_FLAG if can_id > CAN_SFF_MASK else can_id
    return CAN_FRAME.pack(word, len(data), data)


def id_filters(ids: Sequence[int]) -> bytes:
    """A CAN_RAW_FILTER value that passes exactly these identifiers (data frames only)."""
    packed = b""
    for can_id in ids:
        extended = can_id > CAN_SFF_MASK
        word = can_id | (CAN_EFF_FLAG if extended else 0)
        mask = CAN_EFF_FLAG | CAN_RTR_FLAG | (CAN_EFF_MASK if extended else CAN_SFF_MASK)
        packed += struct.pack("=II", word, mask)
    return packed


@dataclass(frozen=True)
class Frame:
    """One frame the simulator heard."""

    id: int
    extended: bool
    data: bytes

    @property
    def is_config(self) -> bool:
        """A DR v1 configuration frame (by its magic)."""
        return len(self.data) == 8 and self.data[:3] == DR_MAGIC


@dataclass
class Faults:
    """Ways to misbehave, each drawn per answer: useful to test a program's error handling."""

    drop: float = 0.0  # fraction of answers never sent
    wrong_length: float = 0.0  # fraction of answers cut to 7 data bytes
    delay: float = 0.0  # seconds between a target frame and its answer
    seed: Optional[int] = None


@dataclass
class SimulatedDriver:
    """One driver: its node id, the slot it obeys, its control mode and its motor state.

    `fixed` makes it answer with the same (position, speed counts, current counts) every time
    instead of the model's state; `silent` makes it answer nothing.
    """

    node_id: int
    slot: int = 0
    mode: Mode = "speed"
    fixed: Optional[WireFeedback] = None
    silent: bool = False
    position: float = 0.0  # rad
    speed: float = 0.0  # rad/s
    current: float = 0.0  # A
    targets: list[int] = field(default_factory=list)  # wire values read from its slot, when recording
    in_session: bool = False
    _last_step: Optional[float] = None

    def step(self, counts: int, now: float) -> None:
        """Moves the model toward the target of one target frame, over the time since the last."""
        dt = 0.0 if self._last_step is None else _clamp(now - self._last_step, 0.0, MAX_STEP_S)
        self._last_step = now
        target = counts / TARGET_SCALE[self.mode]
        if self.mode == "speed":
            error = target - self.speed
            self.speed += error * min(1.0, dt / SPEED_TIME_CONSTANT_S)
            self.current = _clamp(CURRENT_PER_SPEED_ERROR * error, -MAX_CURRENT_A, MAX_CURRENT_A)
        elif self.mode == "position":
            wanted = _clamp(POSITION_GAIN_PER_S * (target - self.position), -MAX_SPEED_RAD_S, MAX_SPEED_RAD_S)
            self.current = _clamp(CURRENT_PER_SPEED_ERROR * (wanted - self.speed), -MAX_CURRENT_A, MAX_CURRENT_A)
            self.speed = wanted
        else:
            self.current = target
            self.speed += (ACCEL_PER_AMP * target - FRICTION_PER_S * self.speed) * dt
        self.position += self.speed * dt

    def answer(self) -> Optional[bytes]:
        """The data of the feedback frame it sends now, or None when it is silent."""
        if self.silent:
            return None
        if self.fixed is not None:
            return feedback_bytes(*self.fixed)
        return feedback_bytes(self.position, _i16(self.speed * 10.0), _i16(self.current * 100.0))

    def configure(self, frame_type: int, ctl: int) -> None:
        """Obeys one DR v1 frame addressed to it; like the firmware, it never answers.

        Like a real driver it keeps no setup across a restart: a simulator started after the
        host sent its setup plays drivers in their starting mode.
        """
        if frame_type == DR_OPEN_SECOND:
            self.in_session = True
        elif frame_type == DR_COMMAND and self.in_session:
            if ctl == 0x00:
                self.in_session = False
            elif ctl == 0x01:
                self.position = 0.0
            elif ctl >> 4 == 1 and ctl & 0x0F in MODE_CODES:
                self.mode = MODE_CODES[ctl & 0x0F]
                self.speed = self.current = 0.0


def _dr_destination(data: bytes) -> Optional[Tuple[int, int, int]]:
    """(frame type, destination, CTL) of a well-formed DR v1 frame, else None."""
    if len(data) != 8 or data[:3] != DR_MAGIC:
        return None
    check = 0
    for byte in data[:7]:
        check ^= byte
    if check != data[7]:
        return None
    return data[3], data[4] | data[5] << 8, data[6]


@dataclass
class Stats:
    heard: int = 0  # every frame received
    targets: int = 0  # broadcast target frames from the host
    answers: int = 0  # feedback frames sent, wrong-length ones included
    dropped: int = 0
    wrong_length: int = 0


class Simulator:
    """Plays `drivers` on `interface` for the group on `host_id`, on a background thread.

    `record=True` keeps every frame heard (for tests; a long run would grow without bound).
    `hears` limits what it hears to those CAN ids, by a kernel filter, so that a flooded bus
    cannot crowd the host's frames out of its receive buffer.
    `silent_after` (seconds) stops all answers that long after the start; `silent` can also be
    set at any time. `on_mode_change(node_id, old, new)` is called (on the simulator's thread)
    whenever a configuration frame switches a driver's mode. Call `close()` (or use `with`) to
    stop it.
    """

    def __init__(
        self,
        interface: str = "vcan0",
        host_id: int = DEFAULT_HOST_ID,
        drivers: Optional[Sequence[SimulatedDriver]] = None,
        *,
        faults: Optional[Faults] = None,
        silent_after: Optional[float] = None,
        record: bool = False,
        hears: Optional[Sequence[int]] = None,
        on_mode_change: Optional[Callable[[int, Mode, Mode], None]] = None,
    ) -> None:
        self.interface = interface
        self.on_mode_change = on_mode_change
        self.host_id = host_id
        self.drivers = list(drivers) if drivers is not None else [
            SimulatedDriver(node, slot) for node, slot in DEFAULT_NODES]
        self.faults = faults or Faults()
        self.silent = False
        self.stats = Stats()
        self._record = record
        self._random = random.Random(self.faults.seed)
        self._silent_at = None if silent_after is None else time.monotonic() + silent_after
        self._frames: list[Frame] = []
        self._pending: list[Tuple[float, int, bytes]] = []  # (due time, sequence, record) heap
        self._sequence = 0
        self._changed = threading.Condition()
        self._stop = threading.Event()
        self._sock = socket.socket(AF_CAN, socket.SOCK_RAW, CAN_RAW)
        try:
            if hears is not None:
                self._sock.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, id_filters(hears))
            self._sock.bind((interface,))
        except OSError:
            self._sock.close()
            raise
        self._thread = threading.Thread(target=self._serve, name="varnex-sim", daemon=True)
        self._thread.start()

    # ---- what it heard (with record=True) ----

    def frames(self) -> list[Frame]:
        with self._changed:
            return list(self._frames)

    def clear(self) -> None:
        with self._changed:
            self._frames.clear()
            for driver in self.drivers:
                driver.targets.clear()

    # A literal count of 1 gives one frame; mypy resolves the overloads in order.
    @overload
    def wait_for(self, predicate: Callable[[Frame], bool] = ..., count: Literal[1] = 1,  # type: ignore[overload-overlap]
                 timeout: float = 10.0) -> Frame: ...

    @overload
    def wait_for(self, predicate: Callable[[Frame], bool], count: int, timeout: float = 10.0) -> list[Frame]: ...

    def wait_for(self, predicate: Callable[[Frame], bool] = lambda f: True, count: int = 1,
                 timeout: float = 10.0) -> Union[Frame, list[Frame]]:
        """The first recorded frame matching predicate (the first `count` as a list when count > 1),
        waiting up to timeout seconds."""
        end = time.monotonic() + timeout
        with self._changed:
            while True:
                hits = [f for f in self._frames if predicate(f)]
                if len(hits) >= count:
                    return hits[0] if count == 1 else hits[:count]
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"expected {count} matching frame(s), heard {self._frames}")
                self._changed.wait(left)

    def quiet(self, seconds: float = 0.3) -> list[Frame]:
        """The frames heard during the next `seconds` (for checking that nothing was sent)."""
        before = len(self.frames())
        time.sleep(seconds)
        return self.frames()[before:]

    # ---- what it says ----

    def send(self, can_id: int, data: bytes) -> None:
        """Sends any frame, for tests that need one on the bus without a broadcast."""
        self._sock.send(pack_frame(can_id, bytes(data)))

    # ---- life ----

    def _is_silent(self, now: float) -> bool:
        return self.silent or (self._silent_at is not None and now >= self._silent_at)

    def _receive(self, timeout: float) -> Optional[Frame]:
        self._sock.settimeout(timeout)
        try:
            record = self._sock.recv(CAN_FRAME.size)
        except socket.timeout:
            return None
        word, length, payload = CAN_FRAME.unpack(record[: CAN_FRAME.size])
        if word & (CAN_ERR_FLAG | CAN_RTR_FLAG):
            return None
        extended = bool(word & CAN_EFF_FLAG)
        return Frame(word & (CAN_EFF_MASK if extended else CAN_SFF_MASK), extended, payload[: min(length, 8)])

    def _queue_answer(self, node_id: int, data: bytes, now: float) -> None:
        faults = self.faults
        if faults.drop and self._random.random() < faults.drop:
            self.stats.dropped += 1
            return
        if faults.wrong_length and self._random.random() < faults.wrong_length:
            data = data[:7]
            self.stats.wrong_length += 1
        self._sequence += 1
        heapq.heappush(self._pending, (now + faults.delay, self._sequence, pack_frame(node_id, data)))

    def _send_due(self, now: float) -> None:
        while self._pending and self._pending[0][0] <= now:
            _, _, record = heapq.heappop(self._pending)
            try:
                self._sock.send(record)
                self.stats.answers += 1
            except OSError:
                pass  # a full transmit queue loses the answer, as a real bus would

    def _handle(self, frame: Frame, now: float) -> None:
        self.stats.heard += 1
        if frame.id != self.host_id or len(frame.data) != 8:
            return
        config = _dr_destination(frame.data)
        if config is not None:
            frame_type, destination, ctl = config
            for driver in self.drivers:
                if destination in (DR_ALL, driver.node_id & 0xFFFF):
                    before = driver.mode
                    driver.configure(frame_type, ctl)
                    if driver.mode != before and self.on_mode_change is not None:
                        self.on_mode_change(driver.node_id, before, driver.mode)
            return
        if frame.is_config:
            return  # a DR v1 frame with a bad check byte: the firmware drops it
        self.stats.targets += 1
        slots = TARGETS.unpack(frame.data)
        silent = self._is_silent(now)
        for driver in self.drivers:
            counts = slots[min(driver.slot, 3)]
            if self._record:
                driver.targets.append(counts)
            driver.step(counts, now)
            data = None if silent else driver.answer()
            if data is not None:
                self._queue_answer(driver.node_id, data, now)

    def _serve(self) -> None:
        # Wakes at least every 50 ms to notice close(), sooner when a delayed answer is due. The
        # wait never reaches 0, which would switch the shared socket to non-blocking mode under
        # a concurrent send().
        while not self._stop.is_set():
            now = time.monotonic()
            self._send_due(now)
            wait = 0.05 if not self._pending else _clamp(self._pending[0][0] - now, 0.001, 0.05)
            try:
                frame = self._receive(wait)
            except OSError:
                if self._stop.is_set():
                    return
                raise
            if frame is None:
                continue
            with self._changed:
                if self._record:
                    self._frames.append(frame)
                self._handle(frame, time.monotonic())
                self._changed.notify_all()
            self._send_due(time.monotonic())

    def close(self) -> None:
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join()
        self._sock.close()

    def __enter__(self) -> Simulator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class SimDriver(Simulator):
    """One driver that records everything it hears and answers with fixed wire values.

    `feedback` is the (position in rad, speed counts, current counts) it answers every target
    frame with; None (the default) keeps it silent, so a test decides when feedback appears:

        with SimDriver("vcan0", node_id=0x201, host_id=0x100, slot=0) as drv:
            drv.feedback = (1.5, 123, -250)           # 1.5 rad, 12.3 rad/s, -2.5 A
            motor.broadcast()
            frame = drv.wait_for(lambda f: f.id == 0x100 and not f.is_config)
            drv.targets[-1]                          # the wire value it read from its slot
    """

    def __init__(self, interface: str, node_id: int, host_id: int, slot: int = 0,
                 feedback: Optional[WireFeedback] = None, hears: Optional[Sequence[int]] = None) -> None:
        self.driver = SimulatedDriver(node_id, slot, fixed=feedback, silent=feedback is None)
        super().__init__(interface, host_id, [self.driver], record=True, hears=hears)

    @property
    def node_id(self) -> int:
        return self.driver.node_id

    @property
    def slot(self) -> int:
        return self.driver.slot

    @property
    def targets(self) -> list[int]:
        return self.driver.targets

    @property
    def feedback(self) -> Optional[WireFeedback]:
        return self.driver.fixed

    @feedback.setter
    def feedback(self, value: Optional[WireFeedback]) -> None:
        self.driver.fixed = value
        self.driver.silent = value is None

    def send_feedback(self, position: float, speed_counts: int, current_counts: int) -> None:
        self.send(self.node_id, feedback_bytes(position, speed_counts, current_counts))


def parse_node(text: str, index: int) -> SimulatedDriver:
    """A driver from "NODE[:SLOT[:MODE]]" (node id in any Python integer notation)."""
    parts = text.split(":")
    if not 1 <= len(parts) <= 3:
        raise ValueError(f"expected NODE[:SLOT[:MODE]], got {text!r}")
    node_id = int(parts[0], 0)
    slot = int(parts[1], 0) if len(parts) > 1 and parts[1] else min(index, 3)
    mode = parts[2].lower() if len(parts) > 2 else "speed"
    if not 0 <= slot <= 3:
        raise ValueError(f"slot must be 0 to 3, got {slot}")
    if mode not in TARGET_SCALE:
        raise ValueError(f"mode must be current, speed or position, got {mode!r}")
    if not 0 <= node_id <= CAN_EFF_MASK:
        raise ValueError(f"node id 0x{node_id:X} is not a CAN id")
    modes: dict[str, Mode] = {"current": "current", "speed": "speed", "position": "position"}
    return SimulatedDriver(node_id, slot, modes[mode])
