"""CAN throughput and latency of varnex's devices against python-can's SocketCAN bus, on one vcan.

Run in the CAN test VM (or directly on a kernel with vcan0/vcan1 up, as root):

    PYTHONPATH=build/<dir> tools/can-vm run -- /work/main/.venv/bin/python bench/can_throughput.py

python-can (a benchmark-only peer, installed by tools/setup-env) must be in the venv.

What is measured, each in its own round so that no receiver slows another:
- receive: N frames are queued for the receiver first, then the time to take all N is measured.
  The blocking CanDevice and python-can read straight from their socket, whose receive buffer is
  enlarged (SO_RCVBUFFORCE) so that the kernel keeps all N; CanDeviceNonBlocking's background task
  reads them into its own queue, which try_receive / receive_timeout then drain.
- send: N frames sent in a loop; for CanDeviceNonBlocking also the time until another of our
  devices has received them all (the background task's write rate, bounded by that receiver).
- latency: one frame from one of our devices to another of the same class, send call to receive
  return, repeated; p50 and p99.
"""

import os
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import varnex  # noqa: E402
from can_support import AF_CAN, CAN_RAW, CanPeer  # noqa: E402

import can  # noqa: E402  python-can

N = int(os.environ.get("BENCH_FRAMES", "20000"))
LATENCY_SAMPLES = int(os.environ.get("BENCH_LATENCY_SAMPLES", "2000"))
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
BIG_BUFFER = 256 * 1024 * 1024
RX_BUS, TX_BUS = "vcan0", "vcan1"


def enlarge_receive_buffer(fd):
    dup = socket.fromfd(fd, AF_CAN, socket.SOCK_RAW, CAN_RAW)
    try:
        dup.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, BIG_BUFFER)
    finally:
        dup.close()


def open_sockets():
    """{fd: "socket:[inode]"} of this process (the listing's own descriptor is no socket)."""
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            continue
        if target.startswith("socket:"):
            found[int(name)] = target
    return found


def make_receiver(factory):
    """The receiver, with the receive buffer of each socket it opened enlarged."""
    before = open_sockets()
    receiver = factory()
    for fd, target in open_sockets().items():
        if before.get(fd) != target:
            enlarge_receive_buffer(fd)
    return receiver


def send_burst(peer, count):
    for i in range(count):
        peer.send(0x100 + (i & 0x3FF), i.to_bytes(4, "little") + b"\x00" * 4)


def check_order(first_data, last_data):
    assert int.from_bytes(first_data[:4], "little") == 0, "first frame lost"
    assert int.from_bytes(last_data[:4], "little") == N - 1, "last frame lost"


# send_burst's ids, 0x100 to 0x4FF, one filter per 0x100.
PASS_ALL_SENT = [(base, 0x700) for base in (0x100, 0x200, 0x300, 0x400)]


def receive_round(name, factory, take):
    receiver = make_receiver(factory)
    with CanPeer(RX_BUS) as peer:
        send_burst(peer, N)
    time.sleep(2.0)  # let the kernel and any background task settle
    start = time.perf_counter()
    first = take(receiver)
    last = first
    for _ in range(N - 1):
        last = take(receiver)
    elapsed = time.perf_counter() - start
    check_order(first, last)
    close = getattr(receiver, "shutdown", None)
    if close:
        close()
    return name, N / elapsed


def take_try_receive(dev):
    frame = dev.try_receive()
    while frame is None:  # not expected after the settle time; counted in the time if it happens
        frame = dev.try_receive()
    return frame[1]


def receive_rates():
    return [
        receive_round("CanDeviceNonBlocking.try_receive",
                      lambda: varnex.CanDeviceNonBlocking(RX_BUS), take_try_receive),
        receive_round("CanDeviceNonBlocking.receive_timeout",
                      lambda: varnex.CanDeviceNonBlocking(RX_BUS),
                      lambda dev: dev.receive_timeout(1000)[1]),
        receive_round("CanDevice.receive",
                      lambda: varnex.CanDevice(RX_BUS), lambda dev: dev.receive()[1]),
        receive_round("python-can Bus.recv",
                      lambda: can.Bus(interface="socketcan", channel=RX_BUS),
                      lambda bus: bytes(bus.recv(1.0).data)),
    ] + (stamp_and_filter_rates() if hasattr(varnex.CanDevice, "recv_frame") else [])


def stamp_and_filter_rates():
    """The frame with its kernel receive time beside recv (both wait with the GIL released), and
    kernel filters that pass every frame sent. Builds from before these existed skip them."""
    return [
        receive_round("CanDevice.recv",
                      lambda: varnex.CanDevice(RX_BUS), lambda dev: dev.recv(1.0)[1]),
        receive_round("CanDeviceNonBlocking.recv",
                      lambda: varnex.CanDeviceNonBlocking(RX_BUS), lambda dev: dev.recv(1.0)[1]),
        receive_round("CanDevice.recv_frame",
                      lambda: varnex.CanDevice(RX_BUS), lambda dev: dev.recv_frame(1.0)[1]),
        receive_round("CanDeviceNonBlocking.recv_frame",
                      lambda: varnex.CanDeviceNonBlocking(RX_BUS), lambda dev: dev.recv_frame(1.0)[1]),
        receive_round("CanDevice.receive, 4 filters",
                      lambda: varnex.CanDevice(RX_BUS, filters=PASS_ALL_SENT), lambda dev: dev.receive()[1]),
        receive_round("CanDeviceNonBlocking.try_receive, 4 filters",
                      lambda: varnex.CanDeviceNonBlocking(RX_BUS, filters=PASS_ALL_SENT), take_try_receive),
    ]


def send_rates():
    rates = []
    data = bytes(8)
    with CanPeer(TX_BUS) as peer:
        enlarge_receive_buffer(peer.sock.fileno())

        dev = varnex.CanDevice(TX_BUS)
        start = time.perf_counter()
        for _ in range(N):
            dev.send(0x200, data)
        rates.append(("CanDevice.send", N / (time.perf_counter() - start)))
        del dev
        assert len(peer.drain(0.5)) == N

        # The frames' arrival is watched by another of our devices: a Python raw-socket peer
        # reads too slowly to tell when the background task has written the last one.
        watcher = make_receiver(lambda: varnex.CanDeviceNonBlocking(TX_BUS))
        dev = varnex.CanDeviceNonBlocking(TX_BUS)
        start = time.perf_counter()
        for _ in range(N):
            dev.send(0x200, data)
        queued = time.perf_counter() - start
        for _ in range(N):
            assert watcher.receive_timeout(10000) is not None
        on_wire = time.perf_counter() - start
        rates.append(("CanDeviceNonBlocking.send (call returns)", N / queued))
        rates.append(("CanDeviceNonBlocking.send (all received)", N / on_wire))
        del dev, watcher
        assert len(peer.drain(0.5)) == N

        bus = can.Bus(interface="socketcan", channel=TX_BUS)
        message = can.Message(arbitration_id=0x200, data=data, is_extended_id=False)
        start = time.perf_counter()
        for _ in range(N):
            bus.send(message)
        rates.append(("python-can Bus.send", N / (time.perf_counter() - start)))
        bus.shutdown()
        assert len(peer.drain(0.5)) == N
    return rates


def percentile(samples, q):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def latency(name, cls, receive):
    a, b = cls(TX_BUS), cls(TX_BUS)
    samples = []
    for i in range(LATENCY_SAMPLES):
        payload = i.to_bytes(4, "little")
        start = time.perf_counter()
        a.send(0x300, payload)
        frame = receive(b)
        samples.append(time.perf_counter() - start)
        assert frame == (0x300, payload), frame
    return name, percentile(samples, 0.5) * 1e6, percentile(samples, 0.99) * 1e6, statistics.mean(samples) * 1e6


def main():
    print(f"frames per round: {N}; latency samples: {LATENCY_SAMPLES}; python-can {can.__version__}")
    print()
    print("receive (frames/s)")
    rates = receive_rates()
    for name, rate in rates:
        print(f"  {name:45s} {rate:12,.0f}")
    reference = dict(rates)["python-can Bus.recv"]
    for name, rate in rates[:3]:
        print(f"  {name:45s} {rate / reference:11.1f}x python-can")
    print()
    print("send (frames/s)")
    for name, rate in send_rates():
        print(f"  {name:45s} {rate:12,.0f}")
    print()
    print("latency, send call to receive return (microseconds)   p50       p99      mean")
    for name, p50, p99, mean in (
        latency("CanDeviceNonBlocking -> CanDeviceNonBlocking", varnex.CanDeviceNonBlocking,
                lambda dev: dev.receive_timeout(1000)),
        latency("CanDevice -> CanDevice", varnex.CanDevice, lambda dev: dev.receive()),
    ):
        print(f"  {name:45s} {p50:8.0f}  {p99:8.0f}  {mean:8.0f}")


if __name__ == "__main__":
    main()
