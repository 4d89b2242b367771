// A received CAN frame as Python sees it: the tuple (id, data), id an int, data bytes; or, for
// recv_frame, a ReceivedFrame: the same two-item tuple with the rest of what the kernel said as
// attributes (timestamp, is_extended, is_remote, is_error, error_class).
#pragma once

#include "can/can_frame.hpp"
#include "python/values.hpp"

namespace varnex::py {

// The id Python sees: an error frame's carries CAN_ERR_FLAG (0x20000000) above its error class,
// so that it never equals a data frame's id (those stop at 0x1FFFFFFF).
inline uint32_t python_id(const CanMessage& message) {
  return message.error ? (message.id | CAN_ERR_FLAG) : message.id;
}

inline PyRef can_message_tuple(const CanMessage& message) {
  return py_tuple(py_int(python_id(message)), py_bytes(message.data));
}

// The same as a new reference, or null with the Python error set; never throws.
inline PyObject* new_can_message_tuple(const CanMessage& message) noexcept {
  try {
    return can_message_tuple(message).release();
  } catch (const PyErrOccurred&) {
    return nullptr;
  }
}

// A ReceivedFrame (a struct sequence: it unpacks and compares as (id, data)). timestamp is the
// kernel's receive time in seconds on the clock of time.time(), None when it gave none.
PyRef received_frame(const CanMessage& message);
PyObject* new_received_frame(const CanMessage& message) noexcept;

}  // namespace varnex::py
