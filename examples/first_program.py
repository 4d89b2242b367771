"""A first program: one simulated driver, a 100 Hz control loop, Ctrl+C to stop.

The README's quick start, line for line (tests/python/test_examples.py checks it): start the
simulated drivers on vcan0 as it shows, wait until they listen, then run this. The simulator
must listen first: add_device sends the driver its mode once, and a driver that is not listening
yet keeps its default mode.
"""

import varnex

motor = varnex.Motor("vcan0", host=0x100)      # the group: one CAN interface, one host id
wheel = motor.add_device(slot_index=0, node_id=0x201, mode="speed")


@varnex.timer(100.0)                           # call control() 100 times a second
def control() -> None:
    wheel.set_target(5.0)                      # rad/s, sent by the next broadcast
    motor.broadcast()                          # every device's target in one CAN frame


loop = control()                               # starts the timer; keep the handle
print("running; Ctrl+C stops", flush=True)
reason = varnex.block_all()                    # waits (timers run), then stops them all
print(f"stopped by {reason} after {loop.tick_count()} ticks")
print("wheel:", wheel.get_feedback())          # position (rad), speed (rad/s), current (A)
