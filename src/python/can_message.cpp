#include "python/can_message.hpp"

#include <atomic>
#include <vector>

#include "can/bus_state.hpp"

namespace varnex::py {
namespace {

PyStructSequence_Field kFields[] = {
    {"id",
     "CAN identifier without flag bits (11 or 29 bits); for an error frame its error class "
     "with the error flag 0x20000000"},
    {"data", "0 to 8 data bytes (empty for a remote request)"},
    {"timestamp",
     "when the kernel received the frame, in seconds on the clock of time.time(); "
     "None if the kernel gave no time"},
    {"is_extended", "True for a 29-bit (extended) identifier"},
    {"is_remote", "True for a remote transmission request (asks for data, carries none)"},
    {"is_error", "True for an error frame"},
    {"error_class",
     "what an error frame reports, as a tuple of names such as 'no-ack', "
     "'bus-off', 'controller-passive'; empty for any other frame"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDesc = {
    "varnex.ReceivedFrame",
    "A received CAN frame: the tuple (id, data), so that ``id, data = frame`` and comparisons "
    "with a tuple work, with the attributes timestamp, is_extended, is_remote, is_error and "
    "error_class.",
    kFields,
    2,  // only id and data are items; the rest are attributes
};

// Created once per process, like the module's classes, and never freed.
PyTypeObject* received_frame_type() {
  static std::atomic<PyTypeObject*> type{nullptr};
  if (PyTypeObject* t = type.load(std::memory_order_acquire)) return t;
  PyTypeObject* created = PyStructSequence_NewType(&kDesc);
  if (created == nullptr) throw PyErrOccurred{};
  PyTypeObject* expected = nullptr;
  if (!type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);  // another thread created it first (free-threaded interpreters)
    return expected;
  }
  return created;
}

}  // namespace

PyRef received_frame(const CanMessage& message) {
  PyRef frame = new_or_throw(PyStructSequence_New(received_frame_type()));
  PyObject* f = frame.get();
  PyStructSequence_SetItem(f, 0, py_int(python_id(message)).release());
  PyStructSequence_SetItem(f, 1, py_bytes(message.data).release());
  PyStructSequence_SetItem(
      f, 2,
      message.received_ns == 0
          ? none().release()
          : py_float(static_cast<double>(message.received_ns) / 1e9).release());
  PyStructSequence_SetItem(f, 3, py_bool(message.extended).release());
  PyStructSequence_SetItem(f, 4, py_bool(message.remote).release());
  PyStructSequence_SetItem(f, 5, py_bool(message.error).release());
  const std::vector<const char*> names = error_class_names(message);
  PyRef classes = new_or_throw(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyTuple_SET_ITEM(classes.get(), static_cast<Py_ssize_t>(i), py_str(names[i]).release());
  }
  PyStructSequence_SetItem(f, 6, classes.release());
  return frame;
}

PyObject* new_received_frame(const CanMessage& message) noexcept {
  try {
    return received_frame(message).release();
  } catch (const PyErrOccurred&) {
    return nullptr;
  }
}

}  // namespace varnex::py
