// The Python class CanDevice: a CAN device whose every call blocks until done.
// send and receive take exclusive access to the object; interface takes shared access.
// Waits keep the GIL; on the main thread send and receive still let signal handlers run (Ctrl+C).
// recv (and iteration) hold no access while they wait and release the GIL, so other threads,
// sends among them, go on meanwhile.
#include <memory>

#include "can/can_device_sync.hpp"
#include "python/gil.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/context_manager.hpp"
#include "python/can_message.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/blocking_wait.hpp"
#include "python/values.hpp"

namespace varnex::py {

namespace {

using Device = std::shared_ptr<CanDeviceSync>;
using CanDeviceObject = Object<Device>;

constexpr Signature kNew{"CanDevice", 1, {"interface"}};
PyRef can_device_new(PyTypeObject* type, const CallArgs& args) {
  auto [interface] = bind(kNew, args);
  const std::string name = to_string(interface, "interface");
  return CanDeviceObject::create(type, create_device([&] { return CanDeviceSync::create(name); }));
}

constexpr Signature kSend{"send", 2, {"id", "data"}};
PyRef send(PyObject* self, const CallArgs& args) {
  auto [id, data] = bind(kSend, args);
  const uint32_t can_id = to_u32(id, "id");
  std::vector<uint8_t> payload = to_bytes(data, "data");
  auto device = CanDeviceObject::exclusive(self);
  SlicedWait<Status> sent =
      (*device)->send_interruptible(can_id, std::move(payload), pending_signal_check());
  if (sent.interrupted) throw PyErrOccurred{};  // the signal handler's exception is set
  check(std::move(*sent.value));
  return none();
}

PyRef receive(PyObject* self) {
  auto device = CanDeviceObject::exclusive(self);
  SlicedWait<Result<CanMessage>> got = (*device)->receive_interruptible(pending_signal_check());
  if (got.interrupted) throw PyErrOccurred{};  // the signal handler's exception is set
  return can_message_tuple(unwrap(std::move(*got.value)));
}

PyRef interface(PyObject* self) { return py_str((*CanDeviceObject::shared(self))->interface()); }

// The next frame until `deadline`, with the GIL released; None when the deadline passes.
PyRef receive_without_gil(PyObject* self, std::optional<rt::Instant> deadline) {
  const Device device = *CanDeviceObject::shared(self);  // no access is held while waiting
  SlicedWait<Result<CanMessage>> got;
  {
    GilRelease released;
    got = device->receive_until(deadline, pending_signal_check(released));
  }
  if (got.interrupted) throw PyErrOccurred{};  // the signal handler's exception is set
  if (!got.value) return none();
  return can_message_tuple(unwrap(std::move(*got.value)));
}

constexpr Signature kRecv{"recv", 0, {"timeout"}};
PyRef recv(PyObject* self, const CallArgs& args) {
  auto [timeout] = bind(kRecv, args);
  return receive_without_gil(self, deadline_from_seconds(timeout));
}

PyRef next_frame(PyObject* self) { return receive_without_gil(self, std::nullopt); }

// Takes no access: it must be able to end a send or receive that another thread is waiting in.
PyRef close(PyObject* self) {
  const Device device = *CanDeviceObject::shared(self);
  device->close();
  return none();
}

PyMethodDef methods[] = {
    method<send>("send",
                 "send($self, id, data)\n--\n\n"
                 "Send a CAN frame (blocking)\n\n"
                 "Args:\n"
                 "    id: CAN frame ID\n"
                 "    data: Data bytes to send (up to 8 bytes)"),
    method<receive>("receive",
                    "receive($self)\n--\n\n"
                    "Receive a CAN frame (blocking)\n\n"
                    "Returns:\n"
                    "    Tuple of (id, data) where id is u32 and data is bytes"),
    method<interface>("interface",
                      "interface($self)\n--\n\n"
                      "Get the interface name"),
    method<recv>("recv",
                 "recv($self, timeout=None)\n--\n\n"
                 "Receive a CAN frame, releasing the GIL while waiting.\n\n"
                 "timeout is in seconds (float or int); None waits for ever and 0 only looks. "
                 "Returns (id, data), or None when the time runs out. Timers and other threads run "
                 "meanwhile, and another thread may send on this device; on the main thread Ctrl+C "
                 "raises KeyboardInterrupt and no frame is lost to it. Iterating over the device "
                 "calls recv() for each frame."),
    method<close>("close",
                  "close($self)\n--\n\n"
                  "Close the socket now.\n\n"
                  "A send or receive waiting on another thread ends with RuntimeError; every later "
                  "call except interface() raises RuntimeError(\"CanDevice on interface '<name>' is "
                  "closed\"). Closing again does nothing. A with block closes the device on exit."),
    enter_method(),
    exit_method<close>("__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the device."),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "CanDevice(interface)\n--\n\n"
                    "简单模式的 CAN 设备，提供阻塞式 API，适用于简单场景。\n\n"
                    "构造时先检查 CAN 接口（必要时用 ip 配置为 1000000 bit/s 并启用），"
                    "再打开原始 CAN 套接字；每个调用都等到完成才返回。\n\n"
                    "参数:\n"
                    "    interface: CAN 接口名，例如 \"can0\"。"),
    slot(Py_tp_new, &new_slot<can_device_new>),
    slot(Py_tp_dealloc, &CanDeviceObject::dealloc),
    slot(Py_tp_methods, methods),
    slot(Py_tp_iter, &PyObject_SelfIter),
    slot(Py_tp_iternext, &unary_slot<next_frame>),
    {0, nullptr},
};

PyType_Spec spec = object_spec<Device>("varnex.CanDevice", kClassFlags, slots);

}  // namespace

PyTypeObject* can_device_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

}  // namespace varnex::py
