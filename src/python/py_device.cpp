// The Python class Device. No Python constructor: instances come from Motor.add_device. Each holds
// a shared reference to its device, which keeps the group's CAN device alive, so a Device that
// outlives its Motor still sends. Every member takes shared access and keeps the GIL, also
// through start_calibration's 200 ms pause.
#include "python/py_device.hpp"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/module_parts.hpp"
#include "python/motor_values.hpp"
#include "python/object.hpp"
#include "python/process_bound.hpp"
#include "python/values.hpp"

namespace varnex::py {

namespace {

using DeviceRef = std::shared_ptr<motor::Device>;
using DeviceObject = Object<ProcessBound<DeviceRef>>;

// The device of `self` for one call, under shared access. One inherited through fork() raises
// its group's error, named after itself: its feedback comes from the parent's receive task.
class Access {
 public:
  explicit Access(PyObject* self) : borrowed_(DeviceObject::shared(self)) {
    if (!borrowed_->inherited()) return;
    const motor::Device& device = *borrowed_->get();
    char name[64];
    std::snprintf(name, sizeof name, "Device(slot=%u, node_id=0x%X) of a ",
                  static_cast<unsigned>(device.slot_index()),
                  static_cast<unsigned>(device.node_id()));
    const Status status = device.open_status();
    throw_error(Error::runtime(name + (status ? std::string("Motor belongs to the parent process")
                                              : status.error().message)));
  }
  motor::Device* operator->() const { return borrowed_->get().get(); }

 private:
  Borrowed<ProcessBound<DeviceRef>, BorrowFlag::Shared> borrowed_;
};

constexpr Signature kSetTarget{"set_target", 1, {"value"}};
PyRef set_target(PyObject* self, const CallArgs& args) {
  auto [value] = bind(kSetTarget, args);
  const float target = to_f32(value, "value");
  Access(self)->set_target(target);
  return none();
}

PyRef get_target(PyObject* self) { return py_float(Access(self)->target()); }

PyRef get_feedback(PyObject* self) { return feedback_dict(Access(self)->get_feedback_blocking()); }

// Lock-free: two atomics the receive task writes after each stored frame.
PyRef feedback_age(PyObject* self) {
  const std::optional<double> age = Access(self)->feedback_age();
  return age ? py_float(*age) : none();
}

PyRef feedback_count(PyObject* self) { return py_int(Access(self)->feedback_count()); }

PyRef slot_index(PyObject* self) { return py_int(Access(self)->slot_index()); }

PyRef node_id(PyObject* self) { return py_int(Access(self)->node_id()); }

PyRef enter_configure(PyObject* self) {
  check(Access(self)->enter_configure());
  return none();
}

PyRef exit_configure(PyObject* self) {
  check(Access(self)->exit_configure());
  return none();
}

PyRef start_calibration(PyObject* self) {
  check(Access(self)->start_calibration());
  return none();
}

constexpr Signature kSetFocMode{"set_foc_mode", 1, {"mode"}};
PyRef set_foc_mode(PyObject* self, const CallArgs& args) {
  auto [mode] = bind(kSetFocMode, args);
  const motor::FocMode parsed = to_foc_mode(mode, "mode");
  check(Access(self)->set_foc_mode(parsed));
  return none();
}

// Four decimals; NaN as "NaN", infinities as "inf" and "-inf".
std::string target_text(float target) {
  if (std::isnan(target)) return "NaN";
  if (std::isinf(target)) return target > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(target));
  return buf;
}

PyRef repr(PyObject* self) {
  const Access device(self);
  char head[64];
  std::snprintf(head, sizeof head, "Device(slot=%u, node_id=0x%X, target=",
                static_cast<unsigned>(device->slot_index()),
                static_cast<unsigned>(device->node_id()));
  return py_str(std::string(head) + target_text(device->target()) + ")");
}

PyMethodDef methods[] = {
    method<set_target>(
        "set_target",
        doc<"set_target($self, value)\n--\n\n"
            "设置目标值，单位为物理单位：电流模式为 A，速度模式为 rad/s，位置模式为 rad。\n"
            "在下一次 Motor.broadcast() 时编码为 i16 写入广播帧。",
            "Device.set_target">()),
    method<get_target>("get_target", doc<"get_target($self)\n--\n\n"
                                         "读取当前目标值。",
                                         "Device.get_target">()),
    method<get_feedback>("get_feedback", doc<"get_feedback($self)\n--\n\n"
                                             "读取最新反馈。",
                                             "Device.get_feedback">()),
    method<enter_configure>(
        "enter_configure",
        doc<"enter_configure($self)\n--\n\n"
            "DR v1：在此驱动器上打开配置会话（第一帧字节 3 为 0x73，第二帧为 0x74，\n"
            "两帧目标相同，CTL 字节 6 相同）。",
            "Device.enter_configure">()),
    method<exit_configure>("exit_configure",
                           doc<"exit_configure($self)\n--\n\n"
                               "DR v1：发送结束会话（组 0，代码 0），不改变固件的运行状态。",
                               "Device.exit_configure">()),
    method<start_calibration>(
        "start_calibration",
        doc<"start_calibration($self)\n--\n\n"
            "DR v1：在配置会话中请求编码器电角度零位标定；发送后阻塞约 200 ms。",
            "Device.start_calibration">()),
    method<set_foc_mode>(
        "set_foc_mode",
        doc<"set_foc_mode($self, mode)\n--\n\n"
            "DR v1：设置 FOC 模式（\"current\"、\"speed\" 或 \"position\"），仅在配置会话中有效。\n"
            "目标值的编码仍按注册时的模式进行。",
            "Device.set_foc_mode">()),
    method<feedback_age>("feedback_age",
                         doc<"feedback_age($self)\n--\n\n", "Device.feedback_age">()),
    {},
};

PyGetSetDef properties[] = {
    property<slot_index>("slot_index", doc<"槽位索引 (0-3)。", "Device.slot_index">()),
    property<node_id>(
        "node_id",
        doc<"驱动器的节点 ID，即它的反馈帧 CAN ID，与固件中的 node_id 相同。", "Device.node_id">()),
    property<feedback_count>("feedback_count", doc<"", "Device.feedback_count">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc,
         doc<"广播组中一个电机驱动器的收发单元，由 Motor.add_device() 创建。", "Device">()),
    slot(Py_tp_dealloc, &DeviceObject::dealloc),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    slot(Py_tp_repr, &unary_slot<repr>),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<ProcessBound<DeviceRef>>("varnex.Device", kClassFlags | kNoConstructor, slots);

}  // namespace

PyTypeObject* device_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

PyRef new_device_object(std::shared_ptr<motor::Device> device) {
  return DeviceObject::create(device_type(), std::move(device));
}

}  // namespace varnex::py
