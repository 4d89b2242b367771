"""`varnex record` and `varnex replay`: the bus to a candump log and back, with the module's recorder."""

from __future__ import annotations

from typing import Optional, Sequence

import varnex

from .errors import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, CliError, open_device, require_not_bus_off


def record(interface: str, path: str, duration: Optional[float],
           filters: Optional[Sequence[varnex.CanFilter]]) -> int:
    # The device first: a missing interface must not empty an existing log.
    with open_device(interface, filters) as bus:
        try:
            writer = varnex.CanLogWriter(path, interface=interface)
        except OSError as e:
            raise CliError(EXIT_FAILURE, str(e)) from e
        # A failed write surfaces in stop(), and again in the close at the end of the block
        # (the lines it kept): either way the same one line, not a traceback.
        try:
            with writer:
                # Only the log takes the frames, so none pile up in the device's queue.
                task = writer.record(bus, duration, takes_all=True)
                try:
                    print(f"varnex record: recording {interface} to {path}"
                          + (f" for {duration:g} s" if duration is not None else "") + "; Ctrl+C stops", flush=True)
                    task.wait()
                except KeyboardInterrupt:
                    pass
                task.stop()  # writes what it holds; raises a write failure
        except OSError as e:
            raise CliError(EXIT_FAILURE, f"writing {path}: {e}") from e
    print(f"varnex record: {task.frames} frames recorded to {path}", flush=True)
    return EXIT_OK


def _reader(path: str) -> varnex.CanLogReader:
    try:
        return varnex.CanLogReader(path)
    except OSError as e:
        raise CliError(EXIT_FAILURE, str(e)) from e


def replay(path: str, interface: str, speed: float, loop: bool) -> int:
    # The log first: a log that cannot be read should not bring an interface up.
    reader = _reader(path)
    sent = 0
    code = EXIT_OK
    with open_device(interface) as bus:
        require_not_bus_off(bus, interface)
        print(f"varnex replay: {path} onto {interface} at {speed:g}x"
              + (", looping; Ctrl+C stops" if loop else ""), flush=True)
        task: Optional[varnex.CanLogTask] = None
        try:
            while True:
                task = varnex.replay(reader, bus, speed=speed)
                task.wait()
                task.stop()  # raises what ended it, a line that is not a frame
                sent, frames, task = sent + task.frames, task.frames, None
                # An empty log would loop without end and without sending anything.
                if not loop or frames == 0:
                    break
                reader = _reader(path)
        except KeyboardInterrupt:
            # Wherever it lands, between two passes of a loop too: the count stays right.
            code = EXIT_INTERRUPTED
            if task is not None:
                try:
                    task.stop()
                except (ValueError, RuntimeError):
                    pass  # the Ctrl+C is the news; the log's fault waits for the next run
                sent += task.frames
        except ValueError as e:
            raise CliError(EXIT_FAILURE, f"{e} (after {sent + (task.frames if task else 0)} frames sent)") from e
        except (RuntimeError, OSError) as e:  # OSError: the log unreadable, the device's end
            raise CliError(EXIT_FAILURE, str(e)) from e
        # close() writes what the device still has queued (a log faster than the bus).
    print(f"varnex replay: {sent} frames sent from {path} onto {interface}"
          + (" (interrupted)" if code == EXIT_INTERRUPTED else ""), flush=True)
    return code
