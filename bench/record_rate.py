"""Recording a full bus into a candump log: frames lost and CPU used by CanLogWriter.record (a
native thread fed by the device as it reads) beside a plain Python loop over
CanDeviceNonBlocking.recv() that formats and writes each line, the design a user would write
instead, and, for the device's own share, the device alone (nobody reads or records; its frames
pile up in its queue). Another process sends N frames on vcan0 at RATE frames/s, 8 at every
millisecond's mark (8,000 frames/s is a 1 Mbit/s bus's limit; the guest's sleeps are too coarse
for single frames every 125 us, and cangen -g 0.125 reaches only about 700 frames/s there), or
as fast as it can (RATE 0).

Run in the CAN test VM (or directly on a kernel with vcan0 up):

    PYTHONPATH=build/<dir> tools/can-vm run -- "$PWD/.venv/bin/python" bench/record_rate.py
"""

import os
import resource
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import varnex  # noqa: E402
from can_support import send_paced  # noqa: E402

N = int(os.environ.get("BENCH_FRAMES", "40000"))
RATES = [float(r) for r in os.environ.get("BENCH_RATES", "8000,0").split(",")]
BUS = "vcan0"

def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def send(rate):
    return send_paced(BUS, 0x201, N, rate)


def settle(count, quiet=1.0):
    last = count()
    while True:
        time.sleep(quiet)
        now = count()
        if now == last:
            return now
        last = now


def device_alone(path, rate):
    with varnex.CanDeviceNonBlocking(BUS) as device:
        before = cpu()
        sent = send(rate)
        time.sleep(1.0)
        used = cpu() - before
        got = 0
        while device.try_receive() is not None:
            got += 1
    return sent, got, used


def native(path, rate):
    with varnex.CanDeviceNonBlocking(BUS) as device, varnex.CanLogWriter(path) as writer:
        recording = writer.record(device, takes_all=True)
        before = cpu()
        sent = send(rate)
        got = settle(lambda: recording.frames)
        used = cpu() - before
        recording.stop()
    return sent, got, used


def python_loop(path, rate):
    stop = threading.Event()
    written = [0]
    with varnex.CanDeviceNonBlocking(BUS) as device, open(path, "w") as out:
        def loop():
            while not stop.is_set():
                frame = device.recv(timeout=0.1)
                if frame is None:
                    continue
                can_id, data = frame
                head = f"{can_id:08X}" if can_id > 0x7FF else f"{can_id:03X}"
                out.write(f"({time.time():.6f}) {BUS} {head}#{data.hex().upper()}\n")
                written[0] += 1

        thread = threading.Thread(target=loop)
        thread.start()
        before = cpu()
        sent = send(rate)
        got = settle(lambda: written[0])
        used = cpu() - before
        stop.set()
        thread.join()
    return sent, got, used


def main():
    print(f"{N} frames per row on {BUS}; lost = sent - written to the log (queued, for the device alone)")
    print("| recorder | rate asked (frames/s) | sender's rate | lost | CPU of the recording process (s) |")
    print("|---|---|---|---|---|")
    recorders = [("device alone", device_alone), ("CanLogWriter.record", native),
                 ("Python loop over recv()", python_loop)]
    with tempfile.TemporaryDirectory() as tmp:
        for rate in RATES:
            for name, recorder in recorders:
                sent, got, used = recorder(os.path.join(tmp, "bench.log"), rate)
                asked = f"{rate:.0f}" if rate > 0 else "unpaced"
                print(f"| {name} | {asked} | {sent:.0f} | {N - got} | {used:.2f} |", flush=True)


if __name__ == "__main__":
    sys.exit(main())
