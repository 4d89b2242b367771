// The Python class Motor: a broadcast group of motor drivers on one CAN interface. Destroying the
// object destroys the group, which ends its broadcast (waiting for its last frame, which needs no
// GIL) and aborts its receive task. Every member takes shared access and keeps the GIL, also
// while the constructor brings the interface up and while calibrate_broadcast pauses for 200 ms;
// close() releases it.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "motor/motor_group.hpp"
#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/context_manager.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/motor_values.hpp"
#include "python/object.hpp"
#include "python/process_bound.hpp"
#include "python/py_device.hpp"
#include "python/py_timer_handle.hpp"
#include "python/values.hpp"
#include "tasks/task_id.hpp"

namespace varnex::py {

namespace {

using MotorGroup = ProcessBound<std::unique_ptr<motor::Motor>>;
using MotorObject = Object<MotorGroup>;

// The group under shared access for the duration of one call; unless `even_closed`, a closed
// group raises its closed error instead. A group inherited through fork() always raises: its
// receive task and its device's task are the parent's.
class Group {
 public:
  explicit Group(PyObject* self, bool even_closed = false) : borrowed_(MotorObject::shared(self)) {
    if (!even_closed || borrowed_->inherited()) check((*this)->open_status());
  }
  motor::Motor* operator->() const { return borrowed_->get().get(); }

 private:
  Borrowed<MotorGroup, BorrowFlag::Shared> borrowed_;
};

constexpr Signature kNew{
    "Motor", 1, {"interface", "host", "host_id", "reapply_setup", "bitrate"}, 3};
PyRef motor_new(PyTypeObject* type, const CallArgs& args) {
  auto [interface, host, host_id, reapply_setup, bitrate] = bind(kNew, args);
  const std::string name = to_string(interface, "interface");
  const std::optional<uint32_t> by_host = to_optional(host, "host", to_u32);
  const std::optional<uint32_t> by_host_id = to_optional(host_id, "host_id", to_u32);
  motor::ReceiveOptions options;
  options.reapply_setup = reapply_setup != nullptr && to_bool(reapply_setup, "reapply_setup");
  const uint32_t rate = to_can_bitrate(bitrate, "bitrate");
  if (!by_host && !by_host_id) {
    throw_error(Error::value("missing host CAN id: use second argument or host= / host_id="));
  }
  if (by_host && by_host_id) {
    throw_error(Error::value("pass only one of 'host' or 'host_id', not both"));
  }
  const uint32_t host_id_value = by_host ? *by_host : *by_host_id;
  return MotorObject::create(type, create_device([&] {
                               return motor::Motor::create(name, host_id_value, options, rate);
                             }));
}

constexpr Signature kAddDevice{"add_device", 3, {"slot_index", "node_id", "mode"}};
PyRef add_device(PyObject* self, const CallArgs& args) {
  auto [slot_index, node_id, mode] = bind(kAddDevice, args);
  const uint8_t slot = to_u8(slot_index, "slot_index");
  const uint32_t node = to_u32(node_id, "node_id");
  const motor::FocMode parsed = to_foc_mode(mode, "mode");
  return new_device_object(unwrap(Group(self)->add_device(slot, node, parsed)));
}

constexpr Signature kSetTarget{"set_target", 2, {"slot_index", "value"}};
PyRef set_target(PyObject* self, const CallArgs& args) {
  auto [slot_index, value] = bind(kSetTarget, args);
  const uint8_t slot = to_u8(slot_index, "slot_index");
  const float target = to_f32(value, "value");
  Group(self)->set_target(slot, target);
  return none();
}

PyRef broadcast(PyObject* self) {
  check(Group(self)->broadcast());
  return none();
}

// At interpreter exit every broadcast still running ends, its safe frame last, before the
// objects that would end it are torn down in no particular order (or never, when leaked).
PyRef stop_broadcasts_at_exit(PyObject*) {
  GilRelease released;
  motor::stop_every_broadcast(std::chrono::seconds(2));
  return none();
}
PyMethodDef stop_at_exit_def = function<stop_broadcasts_at_exit>(
    "_stop_broadcasts", "Stop every Motor broadcast (run at interpreter exit).");

void stop_broadcasts_when_the_interpreter_exits() {
  static bool registered = false;  // under the GIL
  if (registered) return;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) throw PyErrOccurred{};
  PyRef fn = new_or_throw(PyCFunction_New(&stop_at_exit_def, nullptr));
  PyRef done = new_or_throw(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  registered = true;
}

constexpr Signature kStartBroadcast{
    "start_broadcast", 1, {"frequency", "realtime", "watchdog", "priority", "cpu"}, 1};
PyRef start_broadcast(PyObject* self, const CallArgs& args) {
  auto [frequency, realtime, watchdog, priority, cpu] = bind(kStartBroadcast, args);
  const std::uint64_t id = next_task_id();
  motor::BroadcastOptions options;
  options.frequency_hz = to_f64(frequency, "frequency");
  options.realtime = realtime == nullptr ? false : to_bool(realtime, "realtime");
  options.watchdog_s = to_optional(watchdog, "watchdog", to_f64);
  options.scheduling = to_thread_scheduling(priority, cpu);
  stop_broadcasts_when_the_interpreter_exits();
  timer_handle_type();  // created before anything starts
  // Waits only for a stopped broadcast's last frame and the new thread's placement; neither
  // needs the GIL, which stays held.
  return wrap_timer_handle(unwrap(Group(self)->start_broadcast(options, id)));
}

PyRef feed_watchdog(PyObject* self) {
  Group(self)->feed_watchdog();
  return none();
}

PyRef broadcast_skipped(PyObject* self) { return py_int(Group(self, true)->broadcast_skipped()); }
PyRef watchdog_trips(PyObject* self) { return py_int(Group(self, true)->watchdog_trips()); }

constexpr Signature kGetFeedback{"get_feedback", 1, {"slot_index"}};
PyRef get_feedback(PyObject* self, const CallArgs& args) {
  auto [slot_index] = bind(kGetFeedback, args);
  const uint8_t slot = to_u8(slot_index, "slot_index");
  const std::optional<motor::Feedback> feedback = Group(self)->get_feedback(slot);
  return feedback ? feedback_dict(*feedback) : none();
}

PyRef host(PyObject* self) { return py_int(Group(self, true)->host()); }

PyRef enter_configure_broadcast(PyObject* self) {
  check(Group(self)->enter_configure_broadcast());
  return none();
}

PyRef exit_configure_broadcast(PyObject* self) {
  check(Group(self)->exit_configure_broadcast());
  return none();
}

PyRef calibrate_broadcast(PyObject* self) {
  check(Group(self)->calibrate_broadcast());
  return none();
}

constexpr Signature kSetFocModeBroadcast{"set_foc_mode_broadcast", 1, {"mode"}};
PyRef set_foc_mode_broadcast(PyObject* self, const CallArgs& args) {
  auto [mode] = bind(kSetFocModeBroadcast, args);
  const motor::FocMode parsed = to_foc_mode(mode, "mode");
  check(Group(self)->set_foc_mode_broadcast(parsed));
  return none();
}

// Waits without the GIL while the queued frames are written (at most a second).
PyRef bus_state(PyObject* self) { return py_str(bus_state_name(Group(self, true)->bus_state())); }

PyRef close(PyObject* self) {
  const Group group(self, true);
  GilRelease released;
  group->close();
  return none();
}

PyRef repr(PyObject* self) {
  const Group group(self, true);
  char text[64];
  std::snprintf(text, sizeof text, "Motor(host=0x%X, devices=%zu)",
                static_cast<unsigned>(group->host()), group->device_count());
  return py_str(text);
}

PyMethodDef methods[] = {
    method<add_device>(
        "add_device",
        doc<"add_device($self, slot_index, node_id, mode)\n--\n\n"
            "添加一个驱动器：以单播方式打开 DR v1 配置会话，设置 mode 指定的 FOC 模式，"
            "然后结束会话（不写 flash，不做编码器零位标定）。",
            "Motor.add_device">()),
    method<set_target>("set_target", doc<"set_target($self, slot_index, value)\n--\n\n"
                                         "设置指定槽位上设备的目标值，单位为该设备模式的物理单位；"
                                         "没有设备占用该槽位时忽略。",
                                         "Motor.set_target">()),
    method<broadcast>("broadcast",
                      doc<"broadcast($self)\n--\n\n"
                          "把所有设备的目标值打包成一个广播帧并发送：8 字节，4 × i16 小端，"
                          "未注册的槽位为 0。",
                          "Motor.broadcast">()),
    method<get_feedback>("get_feedback", doc<"get_feedback($self, slot_index)\n--\n\n"
                                             "按槽位读取反馈。",
                                             "Motor.get_feedback">()),
    method<enter_configure_broadcast>(
        "enter_configure_broadcast",
        doc<"enter_configure_broadcast($self)\n--\n\n"
            "DR v1：在所有驱动器上打开配置会话（目标 0xFFFF；先 0x73 后 0x74，"
            "两帧目标相同，CTL 字节 6 相同）。",
            "Motor.enter_configure_broadcast">()),
    method<exit_configure_broadcast>("exit_configure_broadcast",
                                     doc<"exit_configure_broadcast($self)\n--\n\n"
                                         "DR v1：结束所有驱动器的配置会话（组 0，代码 0）。",
                                         "Motor.exit_configure_broadcast">()),
    method<calibrate_broadcast>("calibrate_broadcast",
                                doc<"calibrate_broadcast($self)\n--\n\n"
                                    "DR v1：在配置会话中请求所有驱动器进行编码器电角度零位标定；"
                                    "发送后阻塞约 200 ms。",
                                    "Motor.calibrate_broadcast">()),
    method<set_foc_mode_broadcast>("set_foc_mode_broadcast",
                                   doc<"set_foc_mode_broadcast($self, mode)\n--\n\n"
                                       "设置所有驱动器的 FOC 模式。",
                                       "Motor.set_foc_mode_broadcast">()),
    method<start_broadcast>(
        "start_broadcast",
        doc<"start_broadcast($self, frequency, *, realtime=False, watchdog=None, priority=None, "
            "cpu=None)\n--\n\n",
            "Motor.start_broadcast">()),
    method<feed_watchdog>("feed_watchdog",
                          doc<"feed_watchdog($self)\n--\n\n", "Motor.feed_watchdog">()),
    method<bus_state>("bus_state", doc<"bus_state($self)\n--\n\n", "Motor.bus_state">()),
    method<close>("close", doc<"close($self)\n--\n\n", "Motor.close">()),
    enter_method(doc<"__enter__($self)\n--\n\n", "Motor.__enter__">()),
    exit_method<close>(
        doc<"__exit__($self, exc_type, exc_value, traceback)\n--\n\n", "Motor.__exit__">()),
    {},
};

PyGetSetDef properties[] = {
    property<host>("host", doc<"主机侧控制帧 CAN ID。", "Motor.host">()),
    property<host>("host_id", doc<"主机侧控制帧 CAN ID，与 host 相同。", "Motor.host_id">()),
    property<broadcast_skipped>("broadcast_skipped", doc<"", "Motor.broadcast_skipped">()),
    property<watchdog_trips>("watchdog_trips", doc<"", "Motor.watchdog_trips">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, doc<"Motor(interface, host=None, host_id=None, *, reapply_setup=False, "
                        "bitrate=None)\n--\n\n"
                        "广播式电机控制器。",
                        "Motor">()),
    slot(Py_tp_new, &new_slot<motor_new>),
    slot(Py_tp_dealloc, &MotorObject::dealloc),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot(Py_tp_repr, &unary_slot<repr>),
    {0, nullptr},
};

PyType_Spec spec = object_spec<MotorGroup>("varnex.Motor", kClassFlags, slots);

}  // namespace

PyTypeObject* motor_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

}  // namespace varnex::py
