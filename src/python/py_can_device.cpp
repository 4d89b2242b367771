// The Python class CanDevice: a CAN device whose every call blocks until done.
// send and receive take exclusive access to the object; interface takes shared access.
// Waits keep the GIL; on the main thread send and receive still let signal handlers run (Ctrl+C).
// recv (and iteration) hold no access while they wait and release the GIL, so other threads,
// sends among them, go on meanwhile. A receive that finds another in progress on the device
// waits for its turn, and its frame, without the GIL and without access (ReceiveCaller).
// In a child made by fork() the device goes on working on a socket of its own, opened on its
// first use there (CanDeviceSync::reopen_inherited).
#include <memory>

#include "can/can_device_sync.hpp"
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

using Device = std::shared_ptr<CanDeviceSync>;
using CanDeviceObject = Object<ProcessBound<Device>>;

// The device of an object under `access`, reopened first when it was inherited through fork().
template <class Access>
const Device& device_here(Access& access) {
  if (access->inherited()) {
    access->renew([](const Device& inherited) {
      return unwrap(CanDeviceSync::reopen_inherited(*inherited));
    });
  }
  return access->get();
}

constexpr Signature kNew{"CanDevice", 1, {"interface", "filters", "error_frames", "bitrate"}, 1};
PyRef can_device_new(PyTypeObject* type, const CallArgs& args) {
  auto [interface, filters, error_frames, bitrate] = bind(kNew, args);
  const std::string name = to_string(interface, "interface");
  const CanFilters receive_filters = to_can_filters(filters, "filters");
  const uint32_t error_classes = to_error_classes(error_frames, "error_frames");
  const uint32_t rate = to_can_bitrate(bitrate, "bitrate");
  return CanDeviceObject::create(
      type, create_device(
                [&] { return CanDeviceSync::create(name, receive_filters, error_classes, rate); }));
}

constexpr Signature kSend{"send", 2, {"id", "data"}};
PyRef send(PyObject* self, const CallArgs& args) {
  auto [id, data] = bind(kSend, args);
  const uint32_t can_id = to_u32(id, "id");
  std::vector<uint8_t> payload = to_bytes(data, "data");
  auto access = CanDeviceObject::exclusive(self);
  const Device& device = device_here(access);
  // A signal already pending is handled before anything is written, so a handler that raises
  // leaves the frame unsent (see the README's frame promises).
  if (on_main_thread() && PyErr_CheckSignals() < 0) throw PyErrOccurred{};
  rt::OpWait<Status> sent =
      device->send_interruptible(can_id, std::move(payload), pending_signal_check());
  // The signal handler's exception is set.
  if (sent.end == rt::WaitEnd::Interrupted) throw PyErrOccurred{};
  check(std::move(*sent.value));
  return none();
}

// The outcome of a receive, with the GIL held again; `as_frame`: a ReceivedFrame, not a tuple.
PyRef received(ReceiveCaller& caller, rt::OpWait<Result<CanMessage>> got, bool as_frame = false) {
  caller.reacquire();
  // The signal handler's exception is set.
  if (got.end == rt::WaitEnd::Interrupted) throw PyErrOccurred{};
  if (!got.value) return none();
  CanMessage frame = unwrap(std::move(*got.value));
  if (PyRef built = caller.take_built()) return built;
  return as_frame ? received_frame(frame) : can_message_tuple(frame);
}

PyRef receive(PyObject* self) {
  std::optional<Borrowed<ProcessBound<Device>, BorrowFlag::Exclusive>> access;
  access.emplace(CanDeviceObject::exclusive(self));
  const Device device = device_here(*access);  // kept alive without access (below)
  ReceiveCaller caller(ReceiveCaller::Gil::Kept, [&access] { access.reset(); });
  return received(caller, device->receive_until(std::nullopt, caller.hooks()));
}

PyRef interface(PyObject* self) {
  auto access = CanDeviceObject::shared(self);
  return py_str(access->get()->interface());
}

// The next frame until `deadline`, with the GIL released; None when the deadline passes.
PyRef receive_without_gil(PyObject* self, std::optional<rt::Instant> deadline,
                          bool as_frame = false) {
  Device device;
  {
    auto access = CanDeviceObject::shared(self);  // no access is held while waiting
    device = device_here(access);
  }
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

PyRef next_frame(PyObject* self) { return receive_without_gil(self, std::nullopt); }

constexpr Signature kSetFilters{"set_filters", 1, {"filters"}};
PyRef set_filters(PyObject* self, const CallArgs& args) {
  auto [filters] = bind(kSetFilters, args);
  const CanFilters receive_filters = to_can_filters(filters, "filters");
  auto access = CanDeviceObject::shared(self);  // a recv waiting on another thread holds none
  check(device_here(access)->set_filters(receive_filters));
  return none();
}

// Shared access: a receive waiting on another thread holds none, and the state is the device's.
PyRef bus_state(PyObject* self) {
  auto access = CanDeviceObject::shared(self);
  return py_str(bus_state_name(device_here(access)->bus_state()));
}

// Takes no access: it must be able to end a send or receive that another thread is waiting in.
PyRef close(PyObject* self) {
  auto access = CanDeviceObject::shared(self);
  const Device device = device_here(access);
  device->close();
  return none();
}

PyMethodDef methods[] = {
    method<send>("send", doc<"send($self, id, data)\n--\n\n"
                             "Send a CAN frame (blocking)\n\n"
                             "Args:\n"
                             "    id: CAN frame ID\n"
                             "    data: Data bytes to send (up to 8 bytes)",
                             "CanDevice.send">()),
    method<receive>("receive", doc<"receive($self)\n--\n\n"
                                   "Receive a CAN frame (blocking)\n\n"
                                   "Returns:\n"
                                   "    Tuple of (id, data) where id is u32 and data is bytes",
                                   "CanDevice.receive">()),
    method<interface>("interface", doc<"interface($self)\n--\n\n"
                                       "Get the interface name",
                                       "CanDevice.interface">()),
    method<recv>("recv", doc<"recv($self, timeout=None)\n--\n\n", "CanDevice.recv">()),
    method<close>("close", doc<"close($self)\n--\n\n", "CanDevice.close">()),
    method<set_filters>("set_filters",
                        doc<"set_filters($self, filters)\n--\n\n", "CanDevice.set_filters">()),
    method<recv_frame>("recv_frame",
                       doc<"recv_frame($self, timeout=None)\n--\n\n", "CanDevice.recv_frame">()),
    method<bus_state>("bus_state", doc<"bus_state($self)\n--\n\n", "CanDevice.bus_state">()),
    enter_method(doc<"__enter__($self)\n--\n\n", "CanDevice.__enter__">()),
    exit_method<close>(
        doc<"__exit__($self, exc_type, exc_value, traceback)\n--\n\n", "CanDevice.__exit__">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc,
         doc<"CanDevice(interface, *, filters=None, error_frames=False, bitrate=None)\n--\n\n"
             "简单模式的 CAN 设备，提供阻塞式 API，适用于简单场景。",
             "CanDevice">()),
    slot(Py_tp_new, &new_slot<can_device_new>),
    slot(Py_tp_dealloc, &CanDeviceObject::dealloc),
    slot(Py_tp_methods, methods),
    slot(Py_tp_iter, &PyObject_SelfIter),
    slot(Py_tp_iternext, &unary_slot<next_frame>),
    {0, nullptr},
};

PyType_Spec spec = object_spec<ProcessBound<Device>>("varnex.CanDevice", kClassFlags, slots);

}  // namespace

PyTypeObject* can_device_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

}  // namespace varnex::py
