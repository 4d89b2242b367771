"""varnex: one command line for a CAN bus and the motor drivers on it.

    varnex monitor IFACE [--duration S] [--every S] [--filter ID:MASK] ...
    varnex record IFACE FILE [--duration S] [--filter ID:MASK] ...
    varnex replay FILE IFACE [--speed X] [--loop]
    varnex motor IFACE --host ID --node ID [--slot N] show | set-mode MODE | calibrate
                                                     | enter-configure | exit-configure
    varnex sim [varnex-sim's arguments]

Each subcommand takes --help. Logs are in the candump log format (what ``candump -l`` writes and
``canplayer`` reads). The commands use the module's public API only: what they do, a program can
do with ``varnex`` itself.

Exit codes, for scripts:

    0  done (Ctrl+C is the normal end of monitor, record and motor show)
    1  a runtime failure (a log that cannot be read or written, a CAN error, ...)
    2  a usage error (unknown option, bad value)
    3  the CAN interface does not exist
    4  no permission to bring the interface up or open a socket on it
    5  the controller is bus-off (for the commands that send)
    6  a command that can move a motor was not confirmed (declined, or no --yes off a terminal)
  130  replay interrupted by Ctrl+C
"""

from .errors import (
    EXIT_BUS_OFF,
    EXIT_FAILURE,
    EXIT_INTERRUPTED,
    EXIT_NO_INTERFACE,
    EXIT_NOT_CONFIRMED,
    EXIT_OK,
    EXIT_PERMISSION,
    EXIT_USAGE,
)

__all__ = [
    "EXIT_BUS_OFF",
    "EXIT_FAILURE",
    "EXIT_INTERRUPTED",
    "EXIT_NO_INTERFACE",
    "EXIT_NOT_CONFIRMED",
    "EXIT_OK",
    "EXIT_PERMISSION",
    "EXIT_USAGE",
]
