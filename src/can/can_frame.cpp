#include "can/can_frame.hpp"

#include <algorithm>
#include <cstring>

namespace varnex {

Result<can_frame> build_can_frame(uint32_t id, std::span<const uint8_t> data) {
  if (data.size() > CAN_MAX_DLEN) return Error::os("Payload is larger than CAN maximum of 8 bytes");
  if (id > CAN_EFF_MASK) return Error::os("CAN ID too large");

  can_frame frame;
  std::memset(&frame, 0, sizeof frame);
  frame.can_id = sent_as_extended(id) ? (id | CAN_EFF_FLAG) : id;
  frame.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.data);
  return frame;
}

CanMessage parse_can_frame(const can_frame& frame, int64_t received_ns) {
  CanMessage message;
  message.received_ns = received_ns;
  message.extended = (frame.can_id & CAN_EFF_FLAG) != 0;
  message.remote = (frame.can_id & CAN_RTR_FLAG) != 0;
  message.error = (frame.can_id & CAN_ERR_FLAG) != 0;
  // An error frame's id is its error class, which has bits above the 11 of a standard id.
  message.id = frame.can_id & (message.extended || message.error ? CAN_EFF_MASK : CAN_SFF_MASK);
  // A classic raw socket never delivers a length above 8, but the record has room for only
  // 8 bytes, and in classic CAN a length code of 9..15 still means 8 data bytes: clamp rather
  // than read past the array.
  const size_t length = std::min<size_t>(frame.len, CAN_MAX_DLEN);
  message.data.assign(frame.data, frame.data + length);
  return message;
}

}  // namespace varnex
