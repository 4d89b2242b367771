// The Python class CanDeviceNonBlocking: a CAN device served by a background task. send never
// waits; receives poll or wait with a time-out. Every member takes shared access. try_receive
// and receive_timeout keep the GIL, unless they find another receive in progress on the device
// (recv on another thread): then they wait for their turn, and their frame, without it
// (python/blocking_wait.hpp, ReceiveCaller). On the main thread receives let signal handlers run
// (Ctrl+C), and a handler that receives on the same device gets RuntimeError at once instead of
// a deadlock. In a child made by fork() every member raises RuntimeError (process_bound.hpp).
#include "python/py_can_device_non_blocking.hpp"

#include <chrono>
#include <memory>
#include <optional>

#include "can/can_device_async.hpp"
#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/can_message.hpp"
#include "python/context_manager.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/process_bound.hpp"
#include "python/values.hpp"

namespace varnex::py {

namespace {

using Device = std::shared_ptr<CanDeviceAsync>;
using CanDeviceNonBlockingObject = Object<ProcessBound<Device>>;

// The device of `self` for one call, under shared access; an inherited one raises.
class Access {
 public:
  explicit Access(PyObject* self) : borrowed_(CanDeviceNonBlockingObject::shared(self)) {
    if (borrowed_->inherited()) throw_error(borrowed_->get()->inherited_error());
  }
  CanDeviceAsync* operator->() const { return borrowed_->get().get(); }
  const Device& device() const { return borrowed_->get(); }

 private:
  Borrowed<ProcessBound<Device>, BorrowFlag::Shared> borrowed_;
};

PyRef optional_message(const std::optional<CanMessage>& message) {
  return message ? can_message_tuple(*message) : none();
}

constexpr Signature kNew{
    "CanDeviceNonBlocking", 1, {"interface", "filters", "error_frames", "bitrate"}, 1};
PyRef can_device_non_blocking_new(PyTypeObject* type, const CallArgs& args) {
  auto [interface, filters, error_frames, bitrate] = bind(kNew, args);
  const std::string name = to_string(interface, "interface");
  const CanFilters receive_filters = to_can_filters(filters, "filters");
  const uint32_t error_classes = to_error_classes(error_frames, "error_frames");
  const uint32_t rate = to_can_bitrate(bitrate, "bitrate");
  return CanDeviceNonBlockingObject::create(type, create_device([&] {
                                              return CanDeviceAsync::create(
                                                  name, "CanDeviceNonBlocking", receive_filters,
                                                  error_classes, rate);
                                            }));
}

constexpr Signature kSend{"send", 2, {"id", "data"}};
PyRef send(PyObject* self, const CallArgs& args) {
  auto [id, data] = bind(kSend, args);
  const uint32_t can_id = to_u32(id, "id");
  std::vector<uint8_t> payload = to_bytes(data, "data");
  check(Access(self)->send_nonblocking(can_id, std::move(payload)));
  return none();
}

// The outcome of a receive, with the GIL held again; `as_frame`: a ReceivedFrame, not a tuple.
PyRef received(ReceiveCaller& caller, Result<rt::OpWait<CanMessage>> got, bool as_frame = false) {
  caller.reacquire();
  rt::OpWait<CanMessage> frame = unwrap(std::move(got));
  // The signal handler's exception is set.
  if (frame.end == rt::WaitEnd::Interrupted) throw PyErrOccurred{};
  if (PyRef built = caller.take_built()) return built;
  if (as_frame && frame.value) return received_frame(*frame.value);
  return optional_message(frame.value);
}

// A frame already queued while the receive turn is free, taken the short way (polling loops
// and draining a queue call this at high rates): a frame or an error, else empty (no frame, or
// the turn is taken: the caller goes the long way). Pending signal handlers run before a frame
// is taken, so that one that raises leaves the frame queued for the next receive.
std::optional<PyRef> queued_frame(const Access& access, bool none_is_an_answer) {
  if (on_main_thread() && PyErr_CheckSignals() < 0) throw PyErrOccurred{};
  std::optional<Result<std::optional<CanMessage>>> got = access->try_receive_if_free();
  if (!got || (!none_is_an_answer && *got && !(*got)->has_value())) return std::nullopt;
  return optional_message(unwrap(std::move(*got)));
}

PyRef try_receive(PyObject* self) {
  const Access access(self);
  if (std::optional<PyRef> got = queued_frame(access, true)) return std::move(*got);
  ReceiveCaller caller(ReceiveCaller::Gil::Kept);
  return received(caller, access->try_receive(caller.hooks()));
}

constexpr Signature kReceiveTimeout{"receive_timeout", 1, {"timeout_ms"}};
PyRef receive_timeout(PyObject* self, const CallArgs& args) {
  auto [timeout_ms] = bind(kReceiveTimeout, args);
  const std::optional<std::chrono::nanoseconds> limit =
      to_limit_from_millis(timeout_ms, "timeout_ms");
  const Access access(self);
  if (std::optional<PyRef> got = queued_frame(access, false)) return std::move(*got);
  ReceiveCaller caller(ReceiveCaller::Gil::Kept);
  return received(caller, access->receive_timeout(limit, caller.hooks()));
}

PyRef interface(PyObject* self) { return py_str(Access(self)->interface()); }

// The next frame until `deadline`, with the GIL released; None when the deadline passes (or,
// without one, once the device's task has ended and its queue is empty).
PyRef receive_without_gil(PyObject* self, std::optional<rt::Instant> deadline,
                          bool as_frame = false) {
  const Device device = Access(self).device();  // no access is held while waiting
  ReceiveCaller caller(ReceiveCaller::Gil::Released, {}, as_frame ? &new_received_frame : nullptr);
  return received(caller, device->receive_until(deadline, caller.hooks()), as_frame);
}

constexpr Signature kRecv{"recv", 0, {"timeout"}};
PyRef recv(PyObject* self, const CallArgs& args) {
  auto [timeout] = bind(kRecv, args);
  return receive_without_gil(self, deadline_from_seconds(timeout));
}

constexpr Signature kRecvFrame{"recv_frame", 0, {"timeout"}};
PyRef recv_frame(PyObject* self, const CallArgs& args) {
  auto [timeout] = bind(kRecvFrame, args);
  return receive_without_gil(self, deadline_from_seconds(timeout), true);
}

// Iteration ends (StopIteration) only when no frame can come any more.
PyObject* next_frame(PyObject* self) noexcept {
  return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef frame = receive_without_gil(self, std::nullopt);
    if (frame.get() == Py_None) return nullptr;
    return frame.release();
  });
}

PyRef bus_state(PyObject* self) { return py_str(bus_state_name(Access(self)->bus_state())); }

constexpr Signature kSetFilters{"set_filters", 1, {"filters"}};
PyRef set_filters(PyObject* self, const CallArgs& args) {
  auto [filters] = bind(kSetFilters, args);
  const CanFilters receive_filters = to_can_filters(filters, "filters");
  check(Access(self)->set_filters(receive_filters));
  return none();
}

// Waits without the GIL while the task writes what is queued (at most a second).
PyRef close(PyObject* self) {
  const Device device = Access(self).device();
  GilRelease released;
  device->close();
  return none();
}

PyMethodDef methods[] = {
    method<send>("send", doc<"send($self, id, data)\n--\n\n"
                             "Send a CAN frame (non-blocking)\n\n"
                             "Args:\n"
                             "    id: CAN frame ID\n"
                             "    data: Data bytes to send (up to 8 bytes)",
                             "CanDeviceNonBlocking.send">()),
    method<try_receive>("try_receive",
                        doc<"try_receive($self)\n--\n\n"
                            "Try to receive a CAN frame (non-blocking)\n\n"
                            "Returns:\n"
                            "    Tuple of (id, data) if message available, None otherwise",
                            "CanDeviceNonBlocking.try_receive">()),
    method<receive_timeout>("receive_timeout",
                            doc<"receive_timeout($self, timeout_ms)\n--\n\n"
                                "Receive a CAN frame with timeout\n\n"
                                "Args:\n"
                                "    timeout_ms: Timeout in milliseconds\n\n"
                                "Returns:\n"
                                "    Tuple of (id, data) if message received, None if timeout",
                                "CanDeviceNonBlocking.receive_timeout">()),
    method<interface>("interface", doc<"interface($self)\n--\n\n"
                                       "Get the interface name",
                                       "CanDeviceNonBlocking.interface">()),
    method<recv>("recv", doc<"recv($self, timeout=None)\n--\n\n", "CanDeviceNonBlocking.recv">()),
    method<close>("close", doc<"close($self)\n--\n\n", "CanDeviceNonBlocking.close">()),
    method<set_filters>(
        "set_filters",
        doc<"set_filters($self, filters)\n--\n\n", "CanDeviceNonBlocking.set_filters">()),
    method<recv_frame>(
        "recv_frame",
        doc<"recv_frame($self, timeout=None)\n--\n\n", "CanDeviceNonBlocking.recv_frame">()),
    method<bus_state>("bus_state",
                      doc<"bus_state($self)\n--\n\n", "CanDeviceNonBlocking.bus_state">()),
    enter_method(doc<"__enter__($self)\n--\n\n", "CanDeviceNonBlocking.__enter__">()),
    exit_method<close>(doc<"__exit__($self, exc_type, exc_value, traceback)\n--\n\n",
                           "CanDeviceNonBlocking.__exit__">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, doc<"CanDeviceNonBlocking(interface, *, filters=None, error_frames=False, "
                        "bitrate=None)\n--\n\n"
                        "高级异步 CAN 设备，提供非阻塞 API，在后台任务中处理 CAN 通信。",
                        "CanDeviceNonBlocking">()),
    slot(Py_tp_new, &new_slot<can_device_non_blocking_new>),
    slot(Py_tp_dealloc, &CanDeviceNonBlockingObject::dealloc),
    slot(Py_tp_methods, methods),
    slot(Py_tp_iter, &PyObject_SelfIter),
    slot(Py_tp_iternext, &next_frame),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<ProcessBound<Device>>("varnex.CanDeviceNonBlocking", kClassFlags, slots);

}  // namespace

PyTypeObject* can_device_non_blocking_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

std::shared_ptr<CanDeviceAsync> non_blocking_device(PyObject* object, const char* argument) {
  if (!PyObject_TypeCheck(object, can_device_non_blocking_type())) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be CanDeviceNonBlocking, not %.200s",
                 argument, Py_TYPE(object)->tp_name);
    throw PyErrOccurred{};
  }
  return Access(object).device();
}

}  // namespace varnex::py
