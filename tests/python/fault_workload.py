"""A control program living through injected faults, run as a child process by test_can_faults.py.

    run(kind, interface, end, before_wait)

kind: "blocking" (CanDevice), "nonblocking" (CanDeviceNonBlocking) or "motor" (a Motor with one
Device). A precision_timer at 200 Hz sends one frame per tick (the Motor: set_target and
broadcast) and, but for the blocking device, takes what has arrived (the Motor: notes a changed
feedback). The program prints "ready", waits for a line on stdin (the parent injects and restores
faults meanwhile), calls before_wait(), then waits in block_all() (end "sigint") or block_until(300)
(end "timeout"); then it prints one JSON line with what it saw and exits with status 3.
"""

import json
import sys
import time

import varnex

HOST = 0x100  # what the program sends
NODE = 0x201  # what the other node sends
RATE_HZ = 200.0


def run(kind, interface, end, before_wait=lambda: None):
    received = []     # monotonic times at which frames (or new feedback) were taken
    send_errors = {}  # error text -> count, for the blocking device

    if kind == "blocking":
        dev = varnex.CanDevice(interface)

        def exchange():
            try:
                dev.send(HOST, bytes(8))
            except OSError as e:
                send_errors[str(e)] = send_errors.get(str(e), 0) + 1
    elif kind == "nonblocking":
        dev = varnex.CanDeviceNonBlocking(interface)

        def exchange():
            dev.send(HOST, bytes(8))
            while dev.try_receive() is not None:
                received.append(time.monotonic())
    else:
        motor = varnex.Motor(interface, host=HOST)
        device = motor.add_device(slot_index=0, node_id=NODE, mode="speed")
        last = [device.get_feedback()["position"]]

        def exchange():
            device.set_target(1.0)
            motor.broadcast()
            position = device.get_feedback()["position"]
            if position != last[0]:
                last[0] = position
                received.append(time.monotonic())

    handle = varnex.precision_timer(RATE_HZ)(exchange)()  # the timer runs while its handle lives
    print("ready", flush=True)
    sys.stdin.readline()
    before_wait()
    result = varnex.block_all() if end == "sigint" else varnex.block_until(300)
    print(json.dumps({"result": result, "received": received, "send_errors": send_errors}), flush=True)
    del handle
    sys.exit(3)
