#include "motor/motor_group.hpp"

#include <array>
#include <utility>

#include "can/can_device_async.hpp"
#include "motor/config_commands.hpp"
#include "runtime/runtime.hpp"

namespace varnex::motor {

Result<std::unique_ptr<Motor>> Motor::create(const std::string& interface, uint32_t host) {
  Result<std::shared_ptr<CanDeviceAsync>> device = CanDeviceAsync::create(interface, "Motor");
  if (!device) return std::move(device).error();
  return over(link_to(std::move(device).value()), host);
}

std::unique_ptr<Motor> Motor::over(std::shared_ptr<CanLink> link, uint32_t host) {
  return std::unique_ptr<Motor>(new Motor(std::move(link), host));
}

Motor::Motor(std::shared_ptr<CanLink> link, uint32_t host)
    : can_(std::move(link)), devices_(std::make_shared<DeviceList>()), host_(host) {
  receive_task_ = rt::spawn(receive_feedback(can_, devices_));
}

Motor::~Motor() {
  // Takes effect at the task's next suspension. Never waited for: the task may be blocked in a
  // write to a full standard error pipe for as long as nobody reads it.
  receive_task_.abort();
}

void Motor::close() {
  // The receive task goes first: once the device is closed it would only find the link silent.
  receive_task_.abort();
  can_->close();
}

Result<std::shared_ptr<Device>> Motor::add_device(uint8_t slot, uint32_t node_id, FocMode mode) {
  if (Status opened = queue_open_session(*can_, host_, destination_of(node_id)); !opened) {
    return std::move(opened).error();
  }
  std::shared_ptr<Device> device = Device::create(slot, node_id, mode, can_, host_);
  if (Status set = device->set_foc_mode(mode); !set) return std::move(set).error();
  if (Status ended = device->exit_configure(); !ended) return std::move(ended).error();
  // Registered only now: a driver answering between its configuration frames is not yet known.
  devices_->append(device);
  return device;
}

Status Motor::broadcast() {
  // One entry per slot, overwritten in registration order: the later device wins a shared slot,
  // and a slot nobody occupies keeps 0.
  std::array<SlotTarget, kLastSlot + 1> slots{{{0, 0}, {1, 0}, {2, 0}, {3, 0}}};
  devices_->for_each(
      [&](const Device& device) { slots[device.slot_index()].value = device.encoded_target(); });
  const FrameData frame = build_broadcast_frame(slots);
  return can_->send(host_, std::vector<uint8_t>(frame.begin(), frame.end()));
}

void Motor::set_target(uint8_t slot, float value) {
  if (std::shared_ptr<Device> device = devices_->find_by_slot(slot)) device->set_target(value);
}

std::optional<Feedback> Motor::get_feedback(uint8_t slot) {
  std::shared_ptr<Device> device = devices_->find_by_slot(slot);
  if (!device) return std::nullopt;
  return device->get_feedback_blocking();
}

Status Motor::enter_configure_broadcast() {
  return queue_open_session(*can_, host_, kBroadcastDestination);
}

Status Motor::exit_configure_broadcast() {
  return queue_end_session(*can_, host_, kBroadcastDestination);
}

Status Motor::calibrate_broadcast() {
  return queue_calibration_and_wait(*can_, host_, kBroadcastDestination);
}

Status Motor::set_foc_mode_broadcast(FocMode mode) {
  return queue_set_foc_mode(*can_, host_, kBroadcastDestination, mode);
}

}  // namespace varnex::motor
