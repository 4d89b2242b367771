// A received CAN frame as Python sees it: the tuple (id, data), id an int, data bytes.
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

}  // namespace varnex::py
