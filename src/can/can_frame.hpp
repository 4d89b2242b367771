// CAN frame values and their conversion to and from the kernel's classic 16-byte frame record.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"

namespace varnex {

static_assert(sizeof(can_frame) == 16, "the classic SocketCAN frame record is 16 bytes");

// One frame as the system passes it around: the identifier without flag bits
// (0..0x7FF standard, up to 0x1FFFFFFF extended) and 0 to 8 data bytes.
//
// A received message also says how it came: its format and whether it was a remote request or
// an error frame. Python never sees these (its tuple is (id, data)); the motor group needs them
// to tell a driver's feedback from a request for it. A message to send needs none: its format
// follows from its id.
struct CanMessage {
  uint32_t id = 0;
  std::vector<uint8_t> data;
  bool extended = false;  // 29-bit identifier format
  bool remote = false;    // remote transmission request: asks for data, carries none
  bool error = false;     // an error frame, reported by a controller
  // When the kernel received it (SO_TIMESTAMPNS), in nanoseconds since the Unix epoch on the
  // clock of time.time(); 0 for a frame to send, or when the kernel gave no time.
  int64_t received_ns = 0;

  bool operator==(const CanMessage&) const = default;
};

// The format the system sends an id in: extended above 0x7FF, standard otherwise.
constexpr bool sent_as_extended(uint32_t id) { return id > CAN_SFF_MASK; }

// The record to write for `id` and `data`: an extended frame when sent_as_extended(id),
// otherwise a standard one; never remote or error frames; unused data bytes and padding are zero.
// Errors (ErrorKind::Os), checked in this order:
//   "Payload is larger than CAN maximum of 8 bytes"   data.size() > 8
//   "CAN ID too large"                                 id > 0x1FFFFFFF
Result<can_frame> build_can_frame(uint32_t id, std::span<const uint8_t> data);

// The message carried by a received record. The id is masked to 29 bits for an extended frame
// and for an error frame (whose id is its error class, linux/can/error.h), to 11 bits otherwise;
// the flags move to the message's own fields, so where only (id, data) is shown a remote request
// reads as an ordinary message. A length field above 8 reads as 8. `received_ns`: the kernel's
// receive time of the record (see CanMessage).
CanMessage parse_can_frame(const can_frame& frame, int64_t received_ns = 0);

}  // namespace varnex
