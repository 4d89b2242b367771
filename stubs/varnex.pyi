"""CAN motor-group control and precise periodic tasks for Python robot programs (Linux, SocketCAN).

Raw CAN devices (``CanDevice``, ``CanDeviceNonBlocking``), a broadcast group of up to four motor
drivers (``Motor``, ``Device``), fixed-rate timers (``timer``, ``precision_timer``), background
calls (``run_async``), the process-wide ``TaskManager`` and a graceful shutdown on SIGINT or
SIGTERM (``block_all``, ``block_until``, ``shutdown_all``).

The names ``Feedback``, ``TaskStatus``, ``FocModeName``, ``PrecisionMode``, ``SignalName``,
``StopReason``, ``CanFrame``, ``CanFilter``, ``CanFilterDict``, ``ReceivedFrame`` and ``BusState`` exist only
for type checkers: import them under
``if typing.TYPE_CHECKING:``. ``AsyncHandle``, ``RunAsync`` and ``TimerWrapper`` are generic only
for type checkers: write ``AsyncHandle[int]`` only in annotations that are not evaluated
(``from __future__ import annotations``, or quoted).
"""

# The module is one compiled file, which can carry neither inline types nor a py.typed marker,
# so this file is installed as the stub-only package varnex-stubs (PEP 561; see CMakeLists.txt),
# and the API reference of the documentation is generated from it.

import logging
import os
from _typeshed import structseq
from collections.abc import Callable, Generator, Iterator, Sequence
from types import TracebackType
from typing import Any, Concatenate, Final, Generic, Literal, ParamSpec, TypeAlias, TypedDict, TypeVar, final, overload, type_check_only

_P = ParamSpec("_P")
_Q = ParamSpec("_Q")
_R_co = TypeVar("_R_co", covariant=True)
_T = TypeVar("_T")

# ---- names for annotations only ---------------------------------------------------------------

FocModeName: TypeAlias = Literal["current", "speed", "position"]
"""A driver's control mode as ``Motor.add_device`` and the ``set_foc_mode`` methods take it.

The module lower-cases the text before comparing it, so ``"Speed"`` and ``"SPEED"`` work at run
time too; the type admits only the lower-case spelling so that a misspelt mode (``"sped"``,
``"pwm"``) is caught before the program runs. A mode read from a file or the command line is a
plain ``str``: check it against these three values (or ``typing.cast`` it) before passing it.
"""

PrecisionMode: TypeAlias = Literal["normal", "high", "realtime"]
"""How a timer waits for its deadlines, as ``TimerHandle.precision_mode()`` reports it."""

SignalName: TypeAlias = Literal["SIGINT", "SIGTERM"]
"""The signal that ended ``block_all``."""

StopReason: TypeAlias = Literal["signal:SIGINT", "signal:SIGTERM", "timeout"]
"""Why ``block_until`` stopped waiting: a signal, or its wait time ran out."""

CanFrame: TypeAlias = tuple[int, bytes]
# What bus_state() returns: the controller's error state, "stopped" for a link that is down,
# "unknown" where the interface keeps no state (vcan) and no error frame told one.
BusState: TypeAlias = Literal["active", "warning", "passive", "bus-off", "stopped", "unknown"]
"""A received CAN frame: ``(id, data)``, the identifier without flag bits and 0 to 8 data bytes.

Identifiers above ``0x7FF`` travel as extended (29-bit) frames; a frame does not say whether it
was standard or extended.
"""

@type_check_only
class ReceivedFrame(tuple[int, bytes]):
    """A frame as ``recv_frame`` returns it: the tuple ``(id, data)`` with what the tuple leaves out.

    It unpacks (``id, data = frame``) and compares as the tuple ``receive`` returns; the other
    fields are attributes only.
    """

    @property
    def id(self) -> int:
        """The identifier without flag bits (11 or 29 bits); for an error frame its error class
        (``CAN_ERR_*`` of ``<linux/can/error.h>``) with the error flag ``0x20000000``, as the
        tuple of ``receive`` carries it."""
    @property
    def data(self) -> bytes:
        """0 to 8 data bytes; empty for a remote request."""
    @property
    def timestamp(self) -> float | None:
        """When the kernel received the frame (``SO_TIMESTAMPNS``), in seconds on the clock of
        ``time.time()``; ``None`` if the kernel gave no time."""
    @property
    def is_extended(self) -> bool:
        """True for a 29-bit (extended) identifier."""
    @property
    def is_remote(self) -> bool:
        """True for a remote transmission request (it asks for data and carries none)."""
    @property
    def is_error(self) -> bool:
        """True for an error frame."""
    @property
    def error_class(self) -> tuple[str, ...]:
        """What an error frame reports, decoded from its class and the controller's detail byte:
        names among "tx-timeout", "lost-arbitration", "controller-overflow",
        "controller-warning", "controller-passive", "controller-active", "controller-problem",
        "protocol-violation", "transceiver", "no-ack", "bus-off", "bus-error", "restarted" and
        "error-counters"; empty for any other frame."""

@type_check_only
class _CanFilterIdMask(TypedDict):
    can_id: int
    can_mask: int

@type_check_only
class CanFilterDict(_CanFilterIdMask, total=False):
    """One receive filter as python-can spells it: ``{"can_id": ..., "can_mask": ...}``.

    A frame passes when ``frame_id & can_mask == can_id & can_mask``. Both are 0 to
    ``0x1FFFFFFF``. ``"extended"`` is optional: ``True`` passes only extended (29-bit) frames,
    ``False`` only standard ones (then ``can_id`` is at most ``0x7FF``); without it both formats
    pass.
    """

    extended: bool

CanFilter: TypeAlias = CanFilterDict | tuple[int, int]
"""One receive filter: a ``CanFilterDict`` or a ``(can_id, can_mask)`` pair (both formats pass)."""

@type_check_only
class Feedback(TypedDict):
    """A driver's latest feedback, as ``Device.get_feedback()`` and ``Motor.get_feedback()`` return it.

    All three values are ``0.0`` until the driver's first feedback frame arrives. They come from
    32-bit floats, so a speed of 12.3 reads back as 12.300000190734863.
    """

    position: float
    """Position in rad."""
    speed: float
    """Speed in rad/s (0.1 rad/s resolution on the wire)."""
    current: float
    """Current in A (0.01 A resolution on the wire)."""

@type_check_only
class TaskStatus(TypedDict):
    """Counts of the process-wide task registry, as ``TaskManager.status()`` returns them.

    ``running_timers + running_tasks + stopped == total``.
    """

    running_timers: int
    """Registered timers that are still running."""
    running_tasks: int
    """Registered background calls that are still running."""
    stopped: int
    """Registered timers and calls that have stopped but are still in the registry."""
    total: int
    """Every entry of the registry."""

# ---- CAN devices --------------------------------------------------------------------------------

@final
class CanDevice:
    """A CAN device on one SocketCAN interface whose calls block until they are done.

    Before the socket is opened the interface is checked and, if it is down or not at
    1 000 000 bit/s, reconfigured with ``ip`` (through ``sudo`` when privileges are missing).
    The socket receives every data frame on the bus, or with ``filters`` only those the filters
    pass (see ``set_filters``; they are in place before the socket is bound, so no other frame
    is ever queued for it). It closes when the object is destroyed.

    With ``error_frames=True`` the receives also return the bus's error frames (every class of
    ``<linux/can/error.h>``), as ``(id, data)`` whose ``id`` is the error class with the error
    flag ``0x20000000`` (so it never equals a data frame's id), and from ``recv_frame`` with
    ``is_error`` True and ``error_class`` decoded. Without it no error frame ever reaches a
    receive; either way the device reads those that tell the bus state, for ``bus_state()``.

    ``bitrate`` (keyword only) is the bus's rate in bit/s when it is not 1 000 000: one of
    10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000 or 1000000. The interface is
    then checked and brought up at that rate instead; ``None`` means 1 000 000. A virtual
    interface (vcan) has no rate and is only brought up.

    ``send`` and ``receive`` hold the GIL while they wait. Only one of them may run on a device
    at a time: a second call from another thread meanwhile raises ``RuntimeError``
    ("Already borrowed").

    Raises:
        OSError: the interface does not exist, cannot be brought up, or the socket cannot be
            opened; the message says which.
        TypeError, ValueError: ``filters`` is not a valid list of filters, or ``bitrate`` is not
            one of the rates above (ValueError) or not an int (TypeError); nothing is opened.
        TypeError: ``error_frames`` is not a bool.
    """

    def __new__(cls, interface: str, *, filters: Sequence[CanFilter] | None = None, error_frames: bool = False, bitrate: int | None = None) -> CanDevice: ...
    def send(self, id: int, data: Sequence[int]) -> None:
        """Send one frame and return once the kernel has it.

        While the transmit queue is full the call waits for room; on the main thread Ctrl+C
        (any signal handler that raises) ends that wait, and the frame is then not sent.

        Args:
            id: CAN identifier, 0 to 0x1FFFFFFF; above 0x7FF the frame is extended.
            data: 0 to 8 byte values (``bytes``, ``bytearray``, or a list or tuple of ints in
                0..255; a ``str`` is refused).

        Raises:
            OSError: "Payload is larger than CAN maximum of 8 bytes", "CAN ID too large", or the
                system's error for the write (for example a full transmit queue). The device
                stays usable.
            OverflowError: ``id`` is negative or does not fit 32 bits.
        """

    def receive(self) -> CanFrame:
        """Wait, without a time limit, for the next frame and return it as ``(id, data)``.

        Raises:
            OSError: the read failed; the device stays usable.
        """

    def interface(self) -> str:
        """The interface name given to the constructor."""

    def recv(self, timeout: float | None = None) -> CanFrame | None:
        """Receive a CAN frame, releasing the GIL while waiting.

        ``timeout`` is in seconds; ``None`` waits for ever and ``0`` only looks. Timers and other
        threads run meanwhile, and another thread may ``send`` on this device; on the main
        thread Ctrl+C raises :class:`KeyboardInterrupt` and no frame is lost to it. It may be
        mixed with ``receive`` on another thread: receives take turns, and ``receive`` waits
        without the GIL while ``recv`` has the turn.

        Returns:
            ``(id, data)``, or ``None`` when the time ran out.
        """

    def recv_frame(self, timeout: float | None = None) -> ReceivedFrame | None:
        """Receive a CAN frame as ``recv`` does, with its kernel receive time and format.

        The ``ReceivedFrame`` unpacks as ``(id, data)`` and has the attributes ``timestamp``
        (when the kernel received the frame, in seconds on the clock of ``time.time()``),
        ``is_extended``, ``is_remote`` (a remote request arrives as ``(id, b"")`` from
        ``receive``, indistinguishable from an empty data frame) and ``is_error``.

        Returns:
            the frame, or ``None`` when the time ran out.
        """

    def __iter__(self) -> Iterator[CanFrame]:
        """Iterate over the frames as they come: ``recv()`` for each one."""

    def __next__(self) -> CanFrame: ...

    def close(self) -> None:
        """Close the socket now.

        A send or receive waiting on another thread ends with ``RuntimeError``. Every later call
        except ``interface()`` raises ``RuntimeError("CanDevice on interface '<name>' is closed")``.
        Closing again does nothing. A ``with`` block closes the device on exit.
        """

    def bus_state(self) -> BusState:
        """The state of the bus as the interface's controller sees it.

        "active", "warning", "passive" or "bus-off" (the controller's error states), "stopped"
        when the link is down (or gone), "unknown" on an interface that keeps no state (vcan)
        until an error frame tells one. It joins two sources: the kernel's state of a ``type
        can`` link (read over rtnetlink at each call) and the error frames the device has read;
        the one that changed last wins, so error frames written by a program count until the
        controller's state next changes. This device reads the error frames on a socket of its
        own (no data frame reaches it), opened by the first call: frames from before it count
        only through the link's state.
        """

    def set_filters(self, filters: Sequence[CanFilter] | None) -> None:
        """Replace the kernel's receive filters of the socket.

        A frame is received when it passes any of the filters; ``None`` receives every frame
        again, and an empty list none (a device that only sends; python-can reads an empty list
        as "every frame"). At most 512 filters. Frames received before the call stay queued and
        are still returned. The filters carry over to the socket opened when a removed interface
        comes back. A receive waiting on another thread goes on under the new filters.

        Args:
            filters: ``CanFilterDict`` dicts (``{"can_id": 0x200, "can_mask": 0x7F0}``,
                optionally with ``"extended": True`` or ``False``) or ``(can_id, can_mask)`` pairs.

        Raises:
            TypeError: ``filters`` or one of them has the wrong type.
            ValueError: a filter lacks ``can_id`` or ``can_mask``, has an unknown key or a value
                out of range, or there are more than 512; the message names the filter
                (``"filters[1]: ..."``). The old filters stay.
        """

    def __enter__(self) -> CanDevice:
        """Return the device itself, for ``with``."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the device."""

@final
class CanDeviceNonBlocking:
    """A CAN device whose socket is served by a background task.

    ``send`` never waits (it writes the frame itself when nothing is queued ahead and the socket
    has room, else queues it for the task); received frames collect in an unbounded
    queue from the moment the device exists, and ``try_receive`` / ``receive_timeout`` take them
    in arrival order. The interface is checked and brought up as for ``CanDevice``, at
    ``bitrate`` when one is given (keyword only; the same rates as ``CanDevice``'s). With
    ``filters`` only the frames they pass are received (see ``set_filters``), so frames the
    program never reads do not pile up in that queue.

    With ``error_frames=True`` the receives also return the bus's error frames (every class of
    ``<linux/can/error.h>``), as ``(id, data)`` whose ``id`` is the error class with the error
    flag ``0x20000000`` (so it never equals a data frame's id), and from ``recv_frame`` with
    ``is_error`` True and ``error_class`` decoded. Without it no error frame ever reaches a
    receive; either way the device reads those that tell the bus state, for ``bus_state()``.

    Raises:
        OSError: the interface does not exist, cannot be brought up, or the socket cannot be
            opened.
        TypeError, ValueError: ``filters`` is not a valid list of filters, or ``bitrate`` is not
            one of the accepted rates; nothing is opened.
        TypeError: ``error_frames`` is not a bool.
    """

    def __new__(cls, interface: str, *, filters: Sequence[CanFilter] | None = None, error_frames: bool = False, bitrate: int | None = None) -> CanDeviceNonBlocking: ...
    def send(self, id: int, data: Sequence[int]) -> None:
        """Queue one frame for sending and return at once.

        Args:
            id: CAN identifier, 0 to 0x1FFFFFFF; above 0x7FF the frame is extended.
            data: 0 to 8 byte values, as for ``CanDevice.send``.

        The frame is checked here, so an invalid one raises what ``CanDevice.send`` raises
        for it and is not queued. Write errors are reported on standard error, not raised.

        Raises:
            OSError: "Payload is larger than CAN maximum of 8 bytes", "CAN ID too large", or
                "channel closed" when the background task has ended.
            OverflowError: ``id`` is negative or does not fit 32 bits.
        """

    def try_receive(self) -> CanFrame | None:
        """Take the oldest received frame, or return ``None`` at once when there is none.

        Raises:
            RuntimeError: called from a signal handler while this thread is already
                receiving on the same device (the nested call is refused, never deadlocks).
        """

    def receive_timeout(self, timeout_ms: int) -> CanFrame | None:
        """Take the oldest received frame, waiting up to ``timeout_ms`` milliseconds for one.

        A frame that is already queued is returned even with ``timeout_ms=0``. The GIL stays
        held while it waits.

        Returns:
            ``(id, data)``, or ``None`` when the time ran out.

        Raises:
            RuntimeError: called from a signal handler while this thread is already
                receiving on the same device (the nested call is refused, never deadlocks).
        """

    def interface(self) -> str:
        """The interface name given to the constructor."""

    def recv(self, timeout: float | None = None) -> CanFrame | None:
        """Take the oldest received frame, waiting with the GIL released.

        ``timeout`` is in seconds; ``None`` waits for ever and ``0`` only looks. Unlike
        ``receive_timeout``, timers and other threads run while it waits; on the main thread
        Ctrl+C raises :class:`KeyboardInterrupt` and no frame is lost to it. It may be mixed
        with ``try_receive`` and ``receive_timeout`` on other threads or timers: receives take
        turns, and one that keeps the GIL waits without it while ``recv`` has the turn.

        Returns:
            ``(id, data)``, or ``None`` when the time ran out.
        """

    def recv_frame(self, timeout: float | None = None) -> ReceivedFrame | None:
        """Receive a CAN frame as ``recv`` does, with its kernel receive time and format.

        The ``ReceivedFrame`` unpacks as ``(id, data)`` and has the attributes ``timestamp``
        (when the kernel received the frame, in seconds on the clock of ``time.time()``),
        ``is_extended``, ``is_remote`` (a remote request arrives as ``(id, b"")`` from
        ``receive``, indistinguishable from an empty data frame) and ``is_error``.

        Returns:
            the frame, or ``None`` when the time ran out.
        """

    def __iter__(self) -> Iterator[CanFrame]:
        """Iterate over the frames as they come: ``recv()`` for each one."""

    def __next__(self) -> CanFrame: ...

    def close(self) -> None:
        """Write the frames already queued, then close the socket.

        Waits (without the GIL) at most 1 s for the queued frames; any still unwritten then are
        reported on standard error as lost. Receives in progress return what was received, then
        ``None``. Every later call except ``interface()`` raises
        ``RuntimeError("CanDeviceNonBlocking on interface '<name>' is closed")``. Closing again
        does nothing. A ``with`` block closes the device on exit.
        """

    def bus_state(self) -> BusState:
        """The state of the bus, as ``CanDevice.bus_state`` tells it; the background task reads
        the error frames whether or not anyone receives."""

    def set_filters(self, filters: Sequence[CanFilter] | None) -> None:
        """Replace the kernel's receive filters of the socket, as ``CanDevice.set_filters`` does.

        Frames the background task has already received stay in the queue and are still
        returned; from the call on, the socket is given only the frames the new filters pass.

        Raises:
            TypeError, ValueError: as for ``CanDevice.set_filters``; the old filters stay.
            RuntimeError: the device is closed.
        """

    def __enter__(self) -> CanDeviceNonBlocking:
        """Return the device itself, for ``with``."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the device."""

# ---- motor group --------------------------------------------------------------------------------

@final
class Motor:
    """A broadcast group of up to four motor drivers on one CAN interface.

    Every frame of the group is sent with the host CAN id. ``add_device`` registers a driver
    under one of the four slots of the broadcast target frame; ``broadcast()`` packs every
    driver's target into that one 8-byte frame (four signed 16-bit slots, little-endian).
    A background task routes each driver's feedback frames (CAN id = its node id) to its
    ``Device``. Give the host id either as ``host`` (or the second positional argument) or as
    ``host_id``, never both.

    Args:
        interface: the CAN interface's name, for example ``"can0"``.
        host: the host CAN id of the group's frames (also the second positional argument).
        host_id: another name for ``host``; give one of the two.

    Example::

        motor = Motor("can0", host=0x100)
        left = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
        right = motor.add_device(slot_index=1, node_id=0x202, mode="speed")
        left.set_target(10.0)   # rad/s
        right.set_target(-5.0)
        motor.broadcast()       # both targets in one frame

    A driver that answers only after its setup was sent (it powered up late), or again after
    at least 1 s of silence while targets went out (it restarted), may be in its default mode:
    one line on standard error names it, its slot, the mode it was given and how to send it
    again. ``reapply_setup=True`` (keyword only) has the group send that driver's setup again
    itself (open session, set mode, end session).

    ``bitrate`` (keyword only): the bus's rate in bit/s when it is not 1 000 000, one of the
    rates ``CanDevice`` accepts; the interface is brought up at it.

    Raises:
        ValueError: neither or both of ``host`` and ``host_id`` given, or ``bitrate`` is not
            an accepted rate.
        TypeError: ``bitrate`` is not an int.
        OSError: the CAN interface or socket cannot be set up.
    """

    @overload
    def __new__(cls, interface: str, host: int, host_id: None = None, *, reapply_setup: bool = False, bitrate: int | None = None) -> Motor: ...
    @overload
    def __new__(cls, interface: str, host: None = None, *, host_id: int, reapply_setup: bool = False, bitrate: int | None = None) -> Motor: ...
    def add_device(self, slot_index: int, node_id: int, mode: FocModeName) -> Device:
        """Configure a driver and add it to the group.

        Queues, addressed to ``node_id``: the two session-opening frames, the set-mode frame and
        the end-session frame (no flash write, no encoder zeroing). No answer is awaited.

        Args:
            slot_index: the broadcast slot, 0 to 3 (larger values are stored as 3); must equal
                the driver firmware's ``target_index``.
            node_id: the driver's node id, which is also the CAN id of its feedback frames.
            mode: ``"current"``, ``"speed"`` or ``"position"`` (in any case); it also fixes how
                this device's target is scaled for the wire for the device's whole life.

        Returns:
            The new ``Device``.

        Raises:
            ValueError: unknown mode; nothing is sent.
            OSError: "channel closed" when the CAN background task has ended.
        """

    def set_target(self, slot_index: int, value: float) -> None:
        """Set the target of the first device registered on ``slot_index``; no device there: ignored.

        The unit is that of the device's mode (A, rad/s or rad). It is sent by the next
        ``broadcast()``.
        """

    def broadcast(self) -> None:
        """Queue the broadcast target frame: every device's target, unoccupied slots 0.

        Raises:
            OSError: "channel closed" when the CAN background task has ended.
        """

    def start_broadcast(
        self,
        frequency: float,
        *,
        realtime: bool = False,
        watchdog: float | None = None,
        priority: int | None = None,
        cpu: int | None = None,
    ) -> TimerHandle:
        """Send the target frame ``frequency`` times a second from a thread of the module's own.

        Each period sends what ``broadcast()`` would send at that moment, with no Python call
        and no GIL, so the rate holds while Python is busy, collects garbage or is stuck in a C
        call. The frame is never torn: its four slots are from one moment. The returned
        ``TimerHandle`` is registered in the ``TaskManager`` like a timer's (``stop_all``,
        ``shutdown_all``, ``block_all``, ``block_until`` and Ctrl+C stop it); keep it, as
        dropping it stops the broadcast. ``close()`` and dropping the ``Motor`` end it too.

        A period whose frame cannot be written at once (frames queued ahead, transmit queue full,
        ``ENOBUFS``, link down) is skipped and counted in ``broadcast_skipped``, with at most one
        line a second per reason; nothing is queued, so a bus that comes back gets the targets
        of that moment, never a backlog.

        Args:
            frequency: periods per second; at most 10000.0 unless ``realtime`` is True.
            realtime: spin for the last 0.2 ms before each deadline instead of 0.1 ms: tighter
                timing for up to about 10 % of a CPU more at 1 kHz.
            watchdog: seconds. When no target is set on any device (and ``feed_watchdog()`` is
                not called) for that long, the targets become safe: current and speed slots 0,
                a position slot holds the device's last reported position (its last target if it
                never reported). One line on standard error (or to the diagnostic handler),
                ``watchdog_trips`` counts it, and the next set resumes normal targets. With a
                watchdog, the safe frame is also the last frame sent when the broadcast ends,
                whatever ends it (except SIGKILL, a signal whose default action ends the
                process, or a power loss).
            priority: SCHED_FIFO priority 1 to 99 for the broadcast thread only.
            cpu: pin the broadcast thread to this CPU.

        Raises:
            RuntimeError: a broadcast of this group is already running, or the group is closed.
            ValueError: a rejected value ("frequency_hz must be positive", "watchdog must be a
                positive, finite number of seconds", a CPU this process may not use, ...).
            PermissionError: ``priority`` is not permitted; the message says how to grant it
                (CAP_SYS_NICE, an ``rtprio`` limit in limits.conf, ``LimitRTPRIO=`` for a
                systemd service). Nothing is started then.
        """

    def bus_state(self) -> BusState:
        """The state of the group's bus, as ``CanDevice.bus_state`` tells it.

        The receive task takes the error frames that tell a state (never as feedback, never as
        an unmatched frame) and prints each change once on standard error, as
        "[Motor] bus state of <interface>: <before> -> <now>" (each distinct line at most once a
        second); it also looks at the state every 100 ms, so a link taken down shows as
        "stopped".
        """

    def feed_watchdog(self) -> None:
        """Tell the broadcast's watchdog the program is alive without setting a target.

        For programs that hold their targets constant. After a trip the targets stay safe until
        they are set.
        """

    @property
    def broadcast_skipped(self) -> int:
        """Broadcast periods of this group that sent no frame: the frame could not be written at
        once, or the thread woke more than a period late."""

    @property
    def watchdog_trips(self) -> int:
        """How many times the broadcast's watchdog made this group's targets safe."""

    def get_feedback(self, slot_index: int) -> Feedback | None:
        """The latest feedback of the first device registered on ``slot_index``, or ``None`` if none is.

        Returns:
            ``{"position": rad, "speed": rad/s, "current": A}``, or ``None`` when no device is
            registered on that slot.
        """

    @property
    def host(self) -> int:
        """The host CAN id, the id of every frame this group sends."""

    @property
    def host_id(self) -> int:
        """The same value as ``host``."""

    def enter_configure_broadcast(self) -> None:
        """Open a configuration session on every driver on the bus (destination 0xFFFF).

        Raises:
            OSError: "channel closed" when the CAN background task has ended.
        """

    def exit_configure_broadcast(self) -> None:
        """End the configuration session on every driver, without changing their running state.

        Raises:
            OSError: "channel closed" when the CAN background task has ended.
        """

    def calibrate_broadcast(self) -> None:
        """Ask every driver for its encoder electrical zero, then block for 200 ms.

        Only meaningful inside a configuration session. The GIL stays held during the 200 ms.

        Raises:
            OSError: "channel closed" when the CAN background task has ended (no pause then).
        """

    def set_foc_mode_broadcast(self, mode: FocModeName) -> None:
        """Set the control mode of every driver; only meaningful inside a configuration session.

        The stored mode of each ``Device`` (and so the scaling of its target) does not change.

        Raises:
            ValueError: unknown mode; nothing is sent.
            OSError: "channel closed" when the CAN background task has ended.
        """

    def close(self) -> None:
        """Stop routing feedback, write the frames already queued, then close the socket.

        Waits (without the GIL) at most 1 s for the queued frames; any still unwritten then are
        reported on standard error as lost. Every later call except ``host``, ``host_id`` and
        ``repr()``, and every send of the group's devices, raises
        ``RuntimeError("Motor on interface '<name>' is closed")``. Closing again does nothing. A
        ``with`` block closes the group on exit.
        """

    def __enter__(self) -> Motor:
        """Return the group itself, for ``with``."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the group."""

@final
class Device:
    """One driver of a ``Motor`` group, created by ``Motor.add_device``.

    Set its target at any time with ``set_target``; the next ``Motor.broadcast()`` sends it in the
    device's slot of the broadcast frame. ``get_feedback`` reads the latest feedback the driver
    sent. A ``Device`` keeps the group's CAN device alive after its ``Motor`` is gone.

    The broadcast frame is 8 bytes, four little-endian signed 16-bit values: bytes 0-1 carry
    slot 0, 2-3 slot 1, 4-5 slot 2 and 6-7 slot 3.
    """

    def set_target(self, value: float) -> None:
        """Set the target in the unit of the device's mode: A (current), rad/s (speed), rad (position).

        Stored as a 32-bit float; encoded to the wire (saturating, NaN as 0) at the next
        ``Motor.broadcast()``.
        """

    def get_target(self) -> float:
        """The stored target (a 32-bit float widened: 0.1 reads back as 0.10000000149011612)."""

    def get_feedback(self) -> Feedback:
        """The latest feedback; all zeros before the driver's first feedback frame.

        Returns:
            ``{"position": rad, "speed": rad/s, "current": A}``; all three are 0.0 until the
            driver's first feedback frame arrives.
        """

    @property
    def slot_index(self) -> int:
        """The broadcast slot, 0 to 3."""

    @property
    def node_id(self) -> int:
        """The driver's node id, which is also the CAN id of its feedback frames."""

    def feedback_age(self) -> float | None:
        """Seconds since the kernel received this device's latest feedback frame, or None if none ever arrived.

        The age is ``time.time()`` minus the frame's kernel receive time (``SO_TIMESTAMPNS``), so
        a frame that waited in a queue counts as old as it is, and it follows ``time.time()``
        when the system clock is set (never below 0).

        Tells a driver that went silent from one that answers: ``get_feedback`` keeps returning
        the last values (or zeros) either way. Reads two atomics, so it never waits for the
        receive task and may be called from any thread at any rate.
        """

    @property
    def feedback_count(self) -> int:
        """The number of feedback frames stored for this device so far (frames of a wrong length
        are not counted). Read without waiting for the receive task."""

    def enter_configure(self) -> None:
        """Open a configuration session on this driver.

        Raises:
            OSError: "channel closed" when the CAN background task has ended.
        """

    def exit_configure(self) -> None:
        """End this driver's configuration session without changing its running state.

        Raises:
            OSError: "channel closed" when the CAN background task has ended.
        """

    def start_calibration(self) -> None:
        """Ask this driver for its encoder electrical zero, then block for 200 ms.

        Only meaningful inside a configuration session. The GIL stays held during the 200 ms.

        Raises:
            OSError: "channel closed" when the CAN background task has ended (no pause then).
        """

    def set_foc_mode(self, mode: FocModeName) -> None:
        """Set this driver's control mode; only meaningful inside a configuration session.

        The target keeps the scaling of the mode given to ``Motor.add_device``.

        Raises:
            ValueError: unknown mode; nothing is sent.
            OSError: "channel closed" when the CAN background task has ended.
        """

# ---- timers ------------------------------------------------------------------------------------

@final
class Timer:
    """Decorator for a normal-precision timer (about 1 to 10 ms), made by ``timer()``.

    The timer runs on the module's shared runtime and costs almost no CPU: the ticks of all normal
    timers that come due together are called one after the other on one thread, under one
    acquisition of the GIL (each call still on its own: its own error line and count; a slow or
    raising one delays only the ones called after it). Decorating wraps the
    function in a ``TimerWrapper``; nothing runs until the wrapper is called::

        @varnex.timer(10.0)
        def update() -> None: ...

        handle = update()   # starts calling update() ten times a second; keep the handle
        handle.stop()

    Args:
        frequency_hz: calls per second, for example 10.0 for ten calls a second.

    Raises:
        ValueError: "frequency_hz must be positive".
    """

    def __new__(cls, frequency_hz: float) -> Timer: ...
    def __call__(self, func: Callable[_P, object]) -> TimerWrapper[_P]:
        """Wrap ``func``; its return value is ignored on every tick.

        Raises:
            TypeError: "timer decorator requires a callable".
        """

@final
class PrecisionTimer:
    """Decorator for a high-precision timer (about 10 to 100 µs), made by ``precision_timer()``.

    Each started timer has its own thread, which sleeps until shortly before each deadline and
    then spins on the clock: 0.8 ms of every period, or 3 ms with ``realtime=True`` (more
    precise, but at 1 kHz it keeps a whole CPU busy). With ``spin="adaptive"`` it spins only as
    long as its sleeps have actually been late (their recent p99.5, at most that window), and
    sleeps with the least timer slack the rest of the time.

    Args:
        frequency_hz: calls per second, for example 100.0 for a hundred calls a second; at
            most 10000.0 unless ``realtime`` is True.
        realtime: real-time mode: the longer spin, the highest precision and the most CPU.
        spin: ``"fixed"`` (the default) or ``"adaptive"``, as above.

    Example::

        @varnex.PrecisionTimer(100.0)                  # high precision, 100 Hz
        def control() -> None: ...

        @varnex.PrecisionTimer(1000.0, realtime=True)  # real-time mode, 1 kHz
        def fast_loop() -> None: ...

        handle = control()   # starts the timer; keep the handle

    Raises:
        ValueError: "frequency_hz must be positive", "frequency > 10kHz requires
            realtime=True", or "spin must be 'fixed' or 'adaptive'".
        TypeError: ``realtime`` is not a ``bool`` (``0`` and ``1`` are refused), or ``spin``
            is not a ``str``.
    """

    def __new__(cls, frequency_hz: float, realtime: bool = False, spin: Literal["fixed", "adaptive"] = "fixed", *, priority: int | None = None, cpu: int | None = None) -> PrecisionTimer: ...
    def __call__(self, func: Callable[_P, object]) -> TimerWrapper[_P]:
        """Wrap ``func``; its return value is ignored on every tick.

        Raises:
            TypeError: "precision_timer decorator requires a callable".
        """

@final
class TimerWrapper(Generic[_P]):
    """A function wrapped by a timer decorator. Calling it starts a timer.

    The arguments of the call are passed to the function on every tick. Pass them by position:
    the wrapper refuses keyword arguments with ``TypeError`` at run time, which a type checker
    cannot see. Each call starts a new, independent timer with its own task id and returns its
    ``TimerHandle``: keep it (``handle = update()``), the timer stops with it. An ``async def``
    function is not awaited: a warning is printed and the timer starts anyway.

    The wrapper carries the function's ``__name__``, ``__qualname__``, ``__doc__``, ``__module__``
    and ``__wrapped__`` (as ``functools.update_wrapper`` sets them), so ``inspect.signature``
    shows the function's parameters. Decorating a method works: through an instance the wrapper
    binds like a function, and every tick receives the instance as ``self``.
    """

    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> TimerHandle:
        """Start a timer that calls the wrapped function with these arguments at its frequency."""

    @overload
    def __get__(self, instance: None, owner: type[Any], /) -> TimerWrapper[_P]: ...
    @overload
    def __get__(
        self: TimerWrapper[Concatenate[_T, _Q]], instance: _T, owner: type[Any] | None = None, /
    ) -> Callable[_Q, TimerHandle]:
        """Through an instance, a bound method: the timer calls the function with the instance
        first. Through the class, the wrapper itself."""

@final
class TimerHandle:
    """The handle of a running timer (or of a ``Motor.start_broadcast``): stop it, read its statistics.

    Keep it: when the handle is destroyed the timer stops (with a warning on standard error if
    it was still running) and leaves the ``TaskManager``.
    """

    def stop(self) -> None:
        """Stop the timer and return at once; a call in progress finishes, no new one starts.

        Calling it again does nothing.
        """

    def is_running(self) -> bool:
        """Whether the timer is still running (False once stopped by any route)."""

    def frequency(self) -> float:
        """The frequency given to the decorator, in Hz."""

    def precision_mode(self) -> PrecisionMode:
        """``"normal"`` for ``timer``; ``"high"`` or ``"realtime"`` for ``precision_timer`` and
        ``Motor.start_broadcast`` (by their ``realtime``)."""

    def tick_count(self) -> int:
        """How many calls of the function have completed (raising ones included); for a
        broadcast, how many frames it wrote."""

    def actual_frequency(self) -> float:
        """Completed calls per elapsed second, in Hz (0.0 right after the start)."""

    def elapsed_secs(self) -> float:
        """Seconds since the timer started; keeps growing after it stopped."""

    @property
    def task_id(self) -> int:
        """The timer's id in the ``TaskManager``, unique among timers and background calls."""
    @property
    def error_count(self) -> int:
        """Number of calls of the timer function that raised."""
    @property
    def last_error(self) -> str | None:
        """The last error line without its ``"Timer function error: "`` prefix, or None.

        For example ``"ZeroDivisionError: division by zero"``; None while no call has raised.
        """

    def __enter__(self) -> TimerHandle:
        """Return the handle itself, for ``with``."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Stop the timer, as ``stop()`` does."""

def timer(frequency_hz: float) -> Timer:
    """A decorator that runs a function ``frequency_hz`` times a second at normal precision.

    Example::

        @varnex.timer(10.0)
        def update() -> None: ...

        handle = update()   # starts the timer; keep the handle
        handle.stop()

    Raises:
        ValueError: "frequency_hz must be positive".
    """

def precision_timer(
    frequency_hz: float, realtime: bool = False, spin: Literal["fixed", "adaptive"] = "fixed", *,
    priority: int | None = None, cpu: int | None = None
) -> PrecisionTimer:
    """A decorator that runs a function ``frequency_hz`` times a second on its own thread.

    Args:
        frequency_hz: calls per second; at most 10000.0 unless ``realtime`` is True.
        realtime: spin for the last 3 ms before each deadline instead of 0.8 ms: the most
            precise mode, and the most CPU-hungry.
        spin: ``"fixed"`` spins that whole window before every deadline. ``"adaptive"`` learns
            how late this timer's thread wakes from its sleeps and spins only that long (the
            recent p99.5 of those wake-ups plus 5 µs, the window above at most), sleeping with
            the least timer slack otherwise: a fraction of the CPU for nearly the same lateness.
            Its first ticks, and the first wake-up later than any seen before, may be late.
        priority: SCHED_FIFO priority 1 to 99 for the timer's thread only (opt-in). When the
            process may not use it, starting the timer raises ``PermissionError`` saying how to
            grant the right, and nothing starts.
        cpu: pin the timer's thread to this CPU (``ValueError`` at the start when the process
            may not run there).

    Example::

        @varnex.precision_timer(100.0)
        def control() -> None: ...

        @varnex.precision_timer(1000.0, realtime=True)
        def fast_loop() -> None: ...

        handle = control()   # starts the timer; keep the handle
        handle.stop()

    Raises:
        ValueError: "frequency_hz must be positive", "frequency > 10kHz requires
            realtime=True", "spin must be 'fixed' or 'adaptive'", or a priority outside
            1 to 99.
        TypeError: ``realtime`` is not a ``bool``, or ``spin`` is not a ``str``.
    """

# ---- background calls --------------------------------------------------------------------------

@final
class RunAsync(Generic[_P, _R_co]):
    """Decorator that runs the function in the background each time it is called.

    Calling the decorated function starts it on the module's shared runtime and returns an
    ``AsyncHandle`` at once, with which to ask its state, wait for its result or cancel it. The
    function runs on the runtime's blocking pool, never on one of its worker threads::

        @varnex.run_async
        def slow_task(x: int) -> int:
            time.sleep(1)
            return x * 2

        handle = slow_task(21)
        assert handle.wait() == 42

    Pass arguments by position: keyword arguments are refused with ``TypeError`` at run time,
    which a type checker cannot see. The function runs with the GIL taken for the call, and
    nothing interrupts it once it has started.

    The decorator object carries the function's ``__name__``, ``__qualname__``, ``__doc__``,
    ``__module__`` and ``__wrapped__`` (as ``functools.update_wrapper`` sets them), so
    ``inspect.signature`` shows the function's parameters. Decorating a method works: through an
    instance it binds like a function, and the background call receives the instance as ``self``.
    """

    def __new__(cls, func: Callable[_P, _R_co]) -> RunAsync[_P, _R_co]: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> AsyncHandle[_R_co]:
        """Start one background call of the function with these arguments."""

    @overload
    def __get__(self, instance: None, owner: type[Any], /) -> RunAsync[_P, _R_co]: ...
    @overload
    def __get__(
        self: RunAsync[Concatenate[_T, _Q], _R_co], instance: _T, owner: type[Any] | None = None, /
    ) -> Callable[_Q, AsyncHandle[_R_co]]:
        """Through an instance, a bound method: the background call gets the instance first.
        Through the class, the decorator object itself."""

@final
class AsyncHandle(Generic[_R_co]):
    """The handle of one background call: query it, wait for it, fetch its result, cancel it.

    Calling a function decorated with ``run_async`` returns it; it cannot be created directly.
    Results are ``None`` also when the call never ran (cancelled, or stopped by the
    ``TaskManager`` before it started), hence the ``| None`` in ``wait`` and ``try_result``.
    """

    @property
    def task_id(self) -> int:
        """The call's id in the ``TaskManager``, unique among timers and background calls."""

    def is_done(self) -> bool:
        """Whether the call has ended (returned, raised or was skipped) or was cancelled."""

    def is_completed(self) -> bool:
        """Whether the call has ended; also True when the function raised or was skipped."""

    def is_cancelled(self) -> bool:
        """Whether ``cancel()`` was called."""

    def cancel(self) -> None:
        """Mark the call as cancelled. A call that has not started is skipped; one that is running finishes."""

    def try_result(self) -> _R_co | None:
        """The result if the call has returned, else ``None``; never waits.

        Raises:
            RuntimeError: the function raised; the message is its type and text, for example
                "ValueError: bad value".
        """

    def wait(self, timeout_ms: int | None = None) -> _R_co | None:
        """Wait for the call to end and return its result; the GIL is released while waiting.

        ``timeout_ms`` is in milliseconds; ``None`` waits for ever. On the main thread Ctrl+C
        ends the wait with ``KeyboardInterrupt`` (the call itself goes on). Returns at once
        with ``None`` when the call is cancelled before it returns.

        Raises:
            TimeoutError: "Async task wait timed out"; the call goes on and can be waited for
                again.
            RuntimeError: the function raised; the message is its type and text, and its
                ``__cause__`` is the exception the function raised.
        """

    def result(self, timeout: float | None = None) -> _R_co:
        """Wait for the call to end and return what the function returned, like ``Future.result``.

        ``timeout`` is in seconds; ``None`` waits for ever. The GIL is released while waiting,
        and on the main thread Ctrl+C ends the wait (the call goes on).

        Raises:
            Exception: the very exception object the function raised, with the function's frame
                in its traceback.
            TimeoutError: the time ran out; the call goes on and can be waited for again.
            concurrent.futures.CancelledError: the call was cancelled before it ran.
        """

    def exception(self, timeout: float | None = None) -> BaseException | None:
        """Wait for the call to end and return the exception the function raised, or ``None``.

        Same waiting rules as ``result``.

        Raises:
            TimeoutError: the time ran out.
            concurrent.futures.CancelledError: the call was cancelled before it ran.
        """

    def add_done_callback(self, fn: Callable[[AsyncHandle[_R_co]], object]) -> None:
        """Call ``fn(handle)`` once when the call ends (returned, raised or skipped).

        If it has already ended, ``fn`` runs at once on the caller's thread; otherwise on a
        background thread, holding the GIL. An exception raised by ``fn`` is reported on one
        line of stderr and otherwise ignored.
        """

    def __await__(self) -> Generator[Any, None, _R_co]:
        """``await handle`` in an asyncio event loop: the loop keeps running while the call runs.

        The outcome is that of ``result()``: the value, or the function's exception.
        """

def run_async(func: Callable[_P, _R_co]) -> RunAsync[_P, _R_co]:
    """Use as ``@run_async``: calling the decorated function starts it in the background.

    The same as ``RunAsync(func)``::

        @varnex.run_async
        def compute(x: int) -> int:
            return x * 2

        handle = compute(21)
        print(handle.wait())  # 42
    """

# ---- task registry and shutdown ----------------------------------------------------------------

@final
class TaskManager:
    """A view of the process-wide registry of timers and background calls.

    Every instance shows the same registry. Once any stop (``stop_all``, ``shutdown``,
    ``shutdown_all``, ``block_all``, ``block_until``) has happened, newly started timers end
    before their first call; background calls still run.
    """

    def __new__(cls) -> TaskManager: ...
    def stop_all(self) -> None:
        """Stop every timer and every background call that has not started yet.

        Sets the process-wide stop and clears every registered entry's running flag; a Python
        call in progress is not interrupted.
        """

    def wait_all(self, timeout_ms: int | None = None) -> bool:
        """Wait until nothing registered is running; the GIL is released while waiting.

        A stopped timer still runs while its call in progress does; a background call runs until
        its function returns. The wait wakes as soon as the last one ends. ``timeout_ms`` is in
        milliseconds, ``None`` waits for ever; on the main thread Ctrl+C ends the wait with
        ``KeyboardInterrupt``.

        Returns:
            True when nothing runs any more, False when ``timeout_ms`` passed first.
        """

    def shutdown(self, timeout_ms: int | None = None) -> bool:
        """``stop_all()``, then ``wait_all(timeout_ms)``; the same as ``shutdown_all``."""

    def cleanup(self) -> None:
        """Remove the stopped entries from the registry."""

    def status(self) -> TaskStatus:
        """The registry's counts.

        Returns:
            ``{"running_timers", "running_tasks", "stopped", "total"}``: running timers, running
            background calls, stopped entries still registered, and every entry.
        """

    @property
    def running_count(self) -> int:
        """Timers and background calls some code of which still runs or will run."""

    @property
    def total_count(self) -> int:
        """Every entry of the registry, stopped ones included."""

    @property
    def timer_count(self) -> int:
        """Running timers."""

    @property
    def async_task_count(self) -> int:
        """Running background calls."""

def get_task_manager() -> TaskManager:
    """A view of the process-wide task registry (a new object on each call, the same registry).

    Example::

        manager = varnex.get_task_manager()
        print(manager.running_count)
    """

def shutdown_all(timeout_ms: int | None = None) -> bool:
    """Stop every timer and background call and wait for them, up to ``timeout_ms`` ms.

    Prints nothing. The GIL is released while waiting. The same as ``TaskManager.shutdown``;
    ``None`` waits for ever.

    Example::

        varnex.shutdown_all(timeout_ms=5000)

    Returns:
        True when everything stopped, False when ``timeout_ms`` passed first.
    """

def block_all(timeout_ms: int | None = None) -> SignalName:
    """Block until SIGINT (Ctrl+C) or SIGTERM arrives, then stop everything.

    The GIL is released while waiting, so timers and background calls go on until the signal.
    Then the shutdown lines are printed on standard error, every timer and background call is
    stopped and waited for (up to ``timeout_ms`` ms), and the Ctrl+C does not surface as
    ``KeyboardInterrupt``. Once called, SIGTERM no longer ends the process by itself.

    Args:
        timeout_ms: how long the stop may take once the signal came, in milliseconds; ``None``
            waits for ever.

    Example::

        @varnex.timer(10.0)
        def update() -> None: ...

        handle = update()
        print("stopped by", varnex.block_all(timeout_ms=5000))

    Returns:
        ``"SIGINT"`` or ``"SIGTERM"``.
    """

@overload
def block_until(
    wait_ms: None = None, shutdown_timeout_ms: int | None = None
) -> tuple[Literal["signal:SIGINT", "signal:SIGTERM"], bool]:
    """Block until SIGINT or SIGTERM arrives or ``wait_ms`` ms have passed, then stop everything.

    As ``block_all``, with a time limit on the wait: the shutdown runs in either case, with up
    to ``shutdown_timeout_ms`` ms for the stop. Without ``wait_ms`` only a signal ends the wait.

    Args:
        wait_ms: the longest wait, in milliseconds; ``None`` waits for a signal only.
        shutdown_timeout_ms: how long the stop may take, in milliseconds; ``None`` waits for
            ever.

    Example::

        # run for at most 10 seconds
        reason, clean = varnex.block_until(wait_ms=10000, shutdown_timeout_ms=5000)

    Returns:
        ``(reason, clean)``: reason ``"signal:SIGINT"``, ``"signal:SIGTERM"`` or ``"timeout"``;
        clean is True when everything stopped within ``shutdown_timeout_ms``.
    """

@overload
def block_until(wait_ms: int, shutdown_timeout_ms: int | None = None) -> tuple[StopReason, bool]:
    """Block until SIGINT or SIGTERM arrives or ``wait_ms`` ms have passed, then stop everything.

    As ``block_all``, with a time limit on the wait: the shutdown runs in either case, with up
    to ``shutdown_timeout_ms`` ms for the stop. Without ``wait_ms`` only a signal ends the wait.

    Args:
        wait_ms: the longest wait, in milliseconds; ``None`` waits for a signal only.
        shutdown_timeout_ms: how long the stop may take, in milliseconds; ``None`` waits for
            ever.

    Example::

        # run for at most 10 seconds
        reason, clean = varnex.block_until(wait_ms=10000, shutdown_timeout_ms=5000)

    Returns:
        ``(reason, clean)``: reason ``"signal:SIGINT"``, ``"signal:SIGTERM"`` or ``"timeout"``;
        clean is True when everything stopped within ``shutdown_timeout_ms``.
    """

def set_diagnostic_handler(handler: Callable[[str], object] | None) -> None:
    """Send the module's diagnostic lines to ``handler(line)`` instead of standard error.

    Each line is passed as a str without its line feed (a message of several lines gives one
    call per non-empty line), in the order produced, from a thread of the module that holds the
    GIL. A line the handler raises on is written to standard error with a note of the
    exception; lines produced while the interpreter exits, and lines still queued then, go to
    standard error. None restores standard error.

    Example::

        varnex.set_diagnostic_handler(logging.getLogger("varnex").warning)
    """

def reset_stop() -> bool:
    """Clear the process-wide stop, so that timers can start again.

    ``block_all``, ``block_until``, ``shutdown_all`` and ``TaskManager.stop_all``/``shutdown``
    leave a stop in effect for the rest of the process: a timer started afterwards ends before
    its first call. For a REPL, a notebook or a test suite that shut down once,
    ``reset_stop()`` lifts it once nothing runs any more.

    Returns:
        True when a stop was cleared, False when none was in effect.

    Raises:
        RuntimeError: a timer or background call has not ended yet (a call still in progress
            after the stop, a timer started since); the message names them, and nothing
            changes. Stop and wait for them first, for example with ``shutdown_all()``.
    """

def log_to(logger: logging.Logger | str | None) -> None:
    """Send the module's diagnostic lines to a ``logging`` logger, each at its own level.

    Progress (``"[varnex] All tasks stopped successfully"``, an interface configured) is
    logged at INFO, recoverable faults (a dropped handle, an unmatched frame, a dropped CAN
    frame) at WARNING, failed calls (a timer callback that raised, a failed send, a
    provisioning failure and what to do about it) at ERROR. The details of the frame or timer
    come as ``extra`` attributes of the record: ``interface``, ``can_id``, ``task_id``,
    ``timer`` (the callback's qualified name). The first failure of each kind of a timer
    carries its traceback as the record's ``exc_text``; its repeats are summarised once a
    second ("... (N similar messages suppressed)").

    A str names the logger (``logging.getLogger(name)``); None restores standard error. Lines
    are logged from a thread of the module that holds the GIL, in the order produced; a line
    a handler raises on, and lines produced while the interpreter exits, go to standard error.

    Example::

        logging.basicConfig(level=logging.INFO)
        varnex.log_to(logging.getLogger("varnex"))
    """

# ---- recording and replay (the candump log format) ----------------------------------------------

@final
class CanLogFrame(structseq[Any], tuple[float, str, int, bytes, bool, bool, bool]):
    """One frame read from a log, a tuple whose items are also attributes.

    The tuple is ``(timestamp, interface, id, data, is_extended, is_remote, is_error)``. A remote request's ``data`` is zeros, as many bytes as it asks for (``456#R4`` gives four);
    an error frame's ``id`` is its error class (``CAN_ERR_*`` of ``<linux/can/error.h>``) and
    its ``data`` the eight bytes of the report.
    """

    __match_args__: Final = ("timestamp", "interface", "id", "data", "is_extended", "is_remote", "is_error")

    @property
    def timestamp(self) -> float:
        """Seconds since the epoch, the clock of ``time.time()``, to the microsecond."""
    @property
    def interface(self) -> str:
        """The interface name the log gives (``can0``)."""
    @property
    def id(self) -> int:
        """The CAN identifier without flag bits; an error frame's error class."""
    @property
    def data(self) -> bytes:
        """The data bytes, 0 to 8."""
    @property
    def is_extended(self) -> bool:
        """True for a 29-bit identifier (written with 8 hex digits)."""
    @property
    def is_remote(self) -> bool:
        """True for a remote transmission request (``123#R``)."""
    @property
    def is_error(self) -> bool:
        """True for an error frame (an id with ``CAN_ERR_FLAG``, ``20000080#...``)."""

@final
class CanLogWriter:
    """Write CAN frames to a file in the candump log format, one line per frame.

    The lines are those of ``candump -l``: ``(1733822400.123456) can0 123#DEADBEEF``, with the
    time stamp in seconds since the epoch (six decimals), the interface, the id as 3 upper-case
    hex digits for a standard frame and 8 for an extended one, ``#`` and the data in upper-case
    hex; a remote request reads ``123#R`` (``123#R4`` when it asks for 4 bytes), an error frame
    ``20000080#...`` (its class with ``CAN_ERR_FLAG``). ``canplayer``, python-can's
    ``can.LogReader`` and :class:`CanLogReader` read them.

    The file is created, or emptied if it exists. Lines gather in a 64 KiB buffer and reach the
    file when it is full, on ``flush()`` and on ``close()`` (a recording also flushes at least
    every 0.2 s). ``interface`` is the name ``write()`` uses when it is given none
    (``"can0"`` by default).

    Raises:
        OSError: the file cannot be created (``"Cannot open log file '<path>': ..."``).
    """

    def __new__(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, interface: str | None = None) -> CanLogWriter: ...
    def write(
        self,
        id: int,
        data: Sequence[int],
        *,
        timestamp: float | None = None,
        interface: str | None = None,
        extended: bool | None = None,
        remote: bool = False,
        error: bool = False,
    ) -> None:
        """Write one frame's line.

        Args:
            id: CAN identifier without flag bits (an error frame's error class)
            data: Data bytes (up to 8); for a remote request only their number counts, as the
                length it asks for
            timestamp: seconds since the epoch; ``None`` is now (``time.time()``)
            interface: the interface name of the line; ``None`` is the writer's
            extended: ``None`` is extended exactly when ``id`` > 0x7FF, as sends do
            remote: a remote transmission request
            error: an error frame

        Raises:
            ValueError: a frame no line can hold (more than 8 bytes, an id above 0x1FFFFFFF,
                a standard id above 0x7FF, a negative time stamp, an interface name with a
                blank), or the writer is closed.
            OSError: writing the file failed.
        """

    def record(self, device: CanDeviceNonBlocking, duration: float | None = None, *, takes_all: bool = False) -> CanLogTask:
        """Record every frame ``device`` receives, on a thread of its own.

        The recording lasts ``duration`` seconds (``None``: until stopped). Each frame carries the kernel's receive time (``time.time()``'s clock, as
        ``recv_frame`` reports it) and still reaches the device's receives, so a program can record the bus it
        works with; the recording thread writes the lines in batches, so the file never holds
        up the device's task or the bus. Lines carry the device's interface name. With
        ``takes_all`` the frames go to the log only: receives on the device get none meanwhile,
        and frames that nobody takes do not pile up in the device's queue (for a device that is
        only recorded).

        Keep the returned :class:`CanLogTask`: dropping it stops the recording. ``close()``
        stops every recording of the writer.

        Raises:
            RuntimeError: the device is already being recorded.
            TypeError: ``device`` is not a :class:`CanDeviceNonBlocking`.
            ValueError: the writer is closed.
        """

    def flush(self) -> None:
        """Write the buffered lines to the file."""

    def close(self) -> None:
        """Stop the writer's recordings, then write the buffered lines and close the file.

        Each recording writes what it holds first. Closing again does nothing; ``write()`` afterwards raises
        ``ValueError``. A ``with`` block closes the writer on exit.

        Raises:
            OSError: writing the file failed.
        """

    def __enter__(self) -> CanLogWriter:
        """Return the writer itself, for ``with``."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the writer."""

@final
class CanLogReader:
    """Read a log in the candump log format: an iterator of :class:`CanLogFrame`, in file order.

    It reads what ``candump -l`` and :class:`CanLogWriter` write, and what hand-written logs
    hold: hex digits of either case, ``.`` between data bytes, 1 to 3 id digits for a standard
    frame and 4 to 8 for an extended one, any number of decimals, a trailing ``R``/``T``
    direction field and blank lines. CAN FD lines (``123##...``) are refused.

    Raises:
        OSError: the file cannot be opened (``"Cannot open log file '<path>': ..."``).
        ValueError: (while iterating) a line that is not a frame:
            ``"<path>, line 12: bad CAN id 'XYZ'"``; iterating again goes on with the next line.
    """

    def __new__(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> CanLogReader: ...
    def __iter__(self) -> Iterator[CanLogFrame]: ...
    def __next__(self) -> CanLogFrame: ...

@final
class CanLogTask:
    """A recording or a replay running on a thread of its own.

    ``CanLogWriter.record`` and ``replay`` return it. Dropping the last reference stops it; a
    ``with`` block stops it on exit.
    """

    def wait(self, timeout: float | None = None) -> bool:
        """Wait, with the GIL released, until it ends or ``timeout`` seconds pass.

        It ends when its duration is over or the log is replayed; ``None`` waits without limit.
        On the main thread Ctrl+C raises :class:`KeyboardInterrupt`; the task goes on.

        Returns:
            True once it has ended, False when the time ran out first.

        Raises:
            OSError: writing the log failed.
            ValueError: a replay met a line that is not a frame (the message names the line).
            RuntimeError: a replay's device was closed; or, in a child made by ``fork()``, the
                task belongs to the parent (so does every member of it there).
        """

    def stop(self) -> None:
        """Stop it and wait for its thread (a recording writes what it holds first).

        Stopping again, or after its end, does nothing but raise the error that ended it, if
        any (as ``wait``).
        """

    @property
    def frames(self) -> int:
        """Frames written to the log (a recording) or sent (a replay) so far."""
    @property
    def running(self) -> bool:
        """True until it has ended."""
    def __enter__(self) -> CanLogTask:
        """Return the task itself, for ``with``."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Stop the task."""

def replay(
    source: str | bytes | os.PathLike[str] | os.PathLike[bytes] | CanLogReader,
    device: CanDeviceNonBlocking,
    *,
    speed: float = 1.0,
) -> CanLogTask:
    """Send the frames of a log onto ``device``, keeping their recorded gaps.

    The frames go out from a thread of its own: ``replay`` returns at once with the
    :class:`CanLogTask` to wait for. The first frame goes out at once; each later one when its time stamp minus the first's,
    divided by ``speed``, has passed since then (sleeping to absolute deadlines on the monotonic
    clock, so the gaps do not drift; a line with an earlier time stamp than the first goes out
    at once). Each frame keeps its format (a standard id stays standard, an extended one
    extended) and a remote request stays one; error frames are not sent (they are a
    controller's reports, not traffic). Frames go out whatever interface the log names. Sends
    never wait (``CanDeviceNonBlocking.send``): a bus slower than the log's rate queues them in
    the device.

    ``source`` is a path, or a :class:`CanLogReader`, whose remaining frames are sent (do not
    iterate it meanwhile).

    Raises:
        OSError: the file cannot be opened.
        ValueError: ``speed`` is not a positive number.
        TypeError: ``device`` is not a :class:`CanDeviceNonBlocking`.
    """
