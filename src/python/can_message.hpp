// A received CAN frame as Python sees it: the tuple (id, data), id an int, data bytes; or, for
// recv_frame, a ReceivedFrame: the same two-item tuple with the rest of what the kernel said as
// attributes (timestamp, is_extended, is_remote, is_error).
#pragma once

#include "can/can_frame.hpp"
#include "python/values.hpp"

namespace varnex::py {

inline PyRef can_message_tuple(const CanMessage& message) {
  return py_tuple(py_int(message.id), py_bytes(message.data));
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
