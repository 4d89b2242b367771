"""Exit codes, and failures turned into messages that say what to do."""

from __future__ import annotations

import errno
import sys
from typing import Optional, Sequence

import varnex

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_NO_INTERFACE = 3
EXIT_PERMISSION = 4
EXIT_BUS_OFF = 5
EXIT_NOT_CONFIRMED = 6
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure the command reports on stderr and ends with `code`; `hints` say what to do."""

    def __init__(self, code: int, message: str, hints: Sequence[str] = ()) -> None:
        super().__init__(message)
        self.code = code
        self.message = message
        self.hints = list(hints)


def report(prog: str, error: CliError) -> int:
    print(f"{prog}: error: {error.message}", file=sys.stderr)
    for hint in error.hints:
        print(f"  {hint}", file=sys.stderr)
    sys.stderr.flush()
    return error.code


def interface_error(interface: str, error: OSError) -> CliError:
    """What opening a device on `interface` failed of, with the way out."""
    text = str(error)
    if "does not exist" in text:
        return CliError(EXIT_NO_INTERFACE, text, [
            f"a virtual bus for trying things out: sudo modprobe vcan && "
            f"sudo ip link add dev {interface} type vcan && sudo ip link set dev {interface} up",
            "an adapter: check that it is plugged in and its driver loaded; `ip link show` lists "
            "the interfaces there are",
        ])
    if "sudo ip" in text or error.errno in (errno.EPERM, errno.EACCES):
        return CliError(EXIT_PERMISSION, text, [
            f"bringing {interface} up needs root or CAP_NET_ADMIN: run the command with sudo, "
            f"or bring the interface up first: sudo ip link set dev {interface} up type can bitrate 1000000",
        ])
    if error.errno == errno.ENETDOWN:
        return CliError(EXIT_FAILURE, text, [f"the interface went down: sudo ip link set dev {interface} up"])
    return CliError(EXIT_FAILURE, text)


def bus_state(device: object) -> Optional[str]:
    """The device's bus state ("active", "passive", "bus-off", ...), None where it has no way to tell."""
    read = getattr(device, "bus_state", None)
    if read is None:
        return None
    try:
        return str(read())
    except (OSError, RuntimeError):
        return None


def require_not_bus_off(device: object, interface: str) -> None:
    """Refuses to send on a controller that has gone bus-off: every frame would be lost."""
    if bus_state(device) == "bus-off":
        raise CliError(EXIT_BUS_OFF, f"{interface} is bus-off: its controller stopped sending after "
                       "too many errors", [
                           "check the wiring, the termination and the power of the other nodes, "
                           f"then restart it: sudo ip link set dev {interface} down && "
                           f"sudo ip link set dev {interface} up (or let the kernel do it: "
                           f"sudo ip link set dev {interface} type can restart-ms 100)",
                       ])


def open_device(interface: str, filters: Optional[Sequence[varnex.CanFilter]] = None) -> varnex.CanDeviceNonBlocking:
    """A non-blocking device on `interface`, its failures as CliError."""
    try:
        return varnex.CanDeviceNonBlocking(interface, filters=filters)
    except ValueError as e:
        raise CliError(EXIT_USAGE, f"--filter: {e}") from e
    except OSError as e:
        raise interface_error(interface, e) from e
