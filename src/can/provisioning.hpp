// Making sure a CAN network interface is up and runs at the system's bit rate before a socket
// is opened on it.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"

namespace varnex {

// The one bit rate the system runs its CAN buses at.
inline constexpr uint32_t kCanBitrate = 1000000;

// Queries `ip -details link show <interface>` and, unless the interface is up at kCanBitrate,
// runs `ip link set <interface> down`, `... type can bitrate 1000000`, `... up`; if any of those
// fails, runs all three again through `sudo` (which may prompt on the terminal). A virtual
// interface (vcan, vxcan) has no bit rate: it is only brought up when it is down.
// Programs are found through PATH. Progress lines go to standard error ("[CAN] ...").
// Blocks the calling thread until every child has ended; keeps no state between calls.
//
// Errors (all ErrorKind::Os), exactly:
//   "Failed to run ip: <os error text>"                 ip could not be started for the query
//   "CAN interface '<interface>' does not exist"         the query did not exit successfully
//   "Failed to run 'sudo ip <args>': <os error text>"    a sudo command could not be started
//   "'sudo ip <args>' failed"                            a sudo command did not exit successfully
// where <args> is the command's arguments joined with blanks, e.g. "link set can0 down".
Status ensure_can_interface(const std::string& interface);

}  // namespace varnex
