"""A simulated motor driver for the tests: a raw CAN socket that plays one driver of a group.

It records every frame it hears, and answers each broadcast target frame from its host with a
feedback frame on its node id (position as float32, speed and current in wire counts):

    with SimDriver("vcan0", node_id=0x201, host_id=0x100, slot=0) as drv:
        drv.feedback = (1.5, 123, -250)           # 1.5 rad, 12.3 rad/s, -2.5 A
        motor.broadcast()
        frame = drv.wait_for(lambda f: f.id == 0x100 and not f.is_config)
        drv.targets[-1]                          # the wire value it read from its slot

Frames the test wants on the bus without a broadcast go through drv.send(...) or
drv.send_feedback(...).
"""

import struct
import threading
import time
from dataclasses import dataclass

from can_support import CanPeer

FEEDBACK = struct.Struct("<fhh")
TARGETS = struct.Struct("<4h")
DR_MAGIC = b"DR1"


@dataclass(frozen=True)
class Frame:
    id: int
    extended: bool
    data: bytes

    @property
    def is_config(self):
        """A DR v1 configuration frame (by its magic)."""
        return len(self.data) == 8 and self.data[:3] == DR_MAGIC


def feedback_bytes(position, speed_counts, current_counts):
    return FEEDBACK.pack(position, speed_counts, current_counts)


class SimDriver:
    def __init__(self, interface, node_id, host_id, slot=0, feedback=None, hears=None):
        self.node_id = node_id
        self.host_id = host_id
        self.slot = slot
        # (position, speed counts, current counts) sent in answer to a target frame; None: silent.
        self.feedback = feedback
        self.targets = []
        self._frames = []
        self._changed = threading.Condition()
        self._stop = threading.Event()
        self._peer = CanPeer(interface, ids=hears)  # hears=None: every frame on the bus
        self._thread = threading.Thread(target=self._serve, name=f"sim-driver-{node_id:X}", daemon=True)
        self._thread.start()

    # ---- what it heard ----

    def frames(self):
        with self._changed:
            return list(self._frames)

    def clear(self):
        with self._changed:
            self._frames.clear()
            self.targets.clear()

    def wait_for(self, predicate=lambda f: True, count=1, timeout=10.0):
        """The first `count` recorded frames matching predicate, waiting up to timeout seconds."""
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

    def quiet(self, seconds=0.3):
        """The frames heard during the next `seconds` (for checking that nothing was sent)."""
        before = len(self.frames())
        time.sleep(seconds)
        return self.frames()[before:]

    # ---- what it says ----

    def send(self, can_id, data):
        self._peer.send(can_id, data)

    def send_feedback(self, position, speed_counts, current_counts):
        self._peer.send(self.node_id, feedback_bytes(position, speed_counts, current_counts))

    # ---- life ----

    def _serve(self):
        while not self._stop.is_set():
            got = self._peer.recv(0.05)
            if got is None:
                continue
            _, can_id, extended, _, data = got
            frame = Frame(can_id, extended, data)
            answer = None
            with self._changed:
                self._frames.append(frame)
                if can_id == self.host_id and len(data) == 8 and not frame.is_config:
                    self.targets.append(TARGETS.unpack(data)[self.slot])
                    answer = self.feedback
                self._changed.notify_all()
            if answer is not None:
                self.send_feedback(*answer)

    def close(self):
        self._stop.set()
        self._thread.join()
        self._peer.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
