"""Motor demo: a 100 Hz speed-control loop for two motor drivers, simulated on vcan0.

Needs SocketCAN with vcan0 up: on such a kernel (as root), or through the test VM:

    tools/can-vm run -- /work/main/.venv/bin/python examples/motor_demo.py

The two "drivers" are a thread with a raw CAN socket: on every target frame from the host they
move a little toward their slot's target speed and answer with a feedback frame on their node id,
as real drivers would.
"""

import math
import socket
import struct
import threading
import time

import varnex

BUS = "vcan0"
HOST = 0x100
DRIVERS = {0x201: 0, 0x202: 1}  # node id -> slot
CAN_FRAME = struct.Struct("=IB3x8s")  # struct can_frame: id word, length, padding, data
CAN_EFF_FLAG, CAN_EFF_MASK = 0x80000000, 0x1FFFFFFF


def simulated_drivers(stop):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.bind((BUS,))
    sock.settimeout(0.1)
    state = {node: (0.0, 0.0) for node in DRIVERS}  # position (rad), speed (rad/s)
    while not stop.is_set():
        try:
            word, length, data = CAN_FRAME.unpack(sock.recv(CAN_FRAME.size))
        except socket.timeout:
            continue
        can_id = word & CAN_EFF_MASK if word & CAN_EFF_FLAG else word & 0x7FF
        if can_id != HOST or length != 8 or data[:3] == b"DR1":
            continue  # configuration frames need no answer
        slots = struct.unpack("<4h", data)
        for node, slot in DRIVERS.items():
            target = slots[slot] / 10.0  # speed mode: 0.1 rad/s per count
            position, speed = state[node]
            current = 0.8 * (target - speed)
            speed += 0.2 * (target - speed)
            position += speed * 0.01
            state[node] = (position, speed)
            payload = struct.pack("<fhh", position, round(speed * 10), round(current * 100))
            sock.send(CAN_FRAME.pack(node, 8, payload))
    sock.close()


def main():
    stop = threading.Event()
    drivers = threading.Thread(target=simulated_drivers, args=(stop,), daemon=True)
    drivers.start()

    motor = varnex.Motor(BUS, host=HOST)
    left = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
    right = motor.add_device(slot_index=1, node_id=0x202, mode="speed")
    print(motor, left, right, sep="\n")

    period = 0.01
    next_tick = time.monotonic()
    for tick in range(150):
        t = tick * period
        left.set_target(10.0)                         # rad/s
        right.set_target(-5.0 * math.cos(2.0 * t))    # rad/s
        motor.broadcast()                             # both targets in one frame
        if tick % 30 == 29:
            print(f"t={t:4.2f}s  left={left.get_feedback()}")
            print(f"         right={motor.get_feedback(1)}")
        next_tick += period
        time.sleep(max(0.0, next_tick - time.monotonic()))

    stop.set()
    drivers.join()


if __name__ == "__main__":
    main()
