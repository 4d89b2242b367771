#include "can/can_device_sync.hpp"

#include "can/provisioning.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

Result<CanDeviceSync> CanDeviceSync::create(const std::string& interface) {
  if (Status provisioned = ensure_can_interface(interface); !provisioned) {
    return std::move(provisioned).error();
  }
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open(interface);
  if (!opened) return std::move(opened).error();
  return CanDeviceSync(std::move(opened).value(), interface);
}

Status CanDeviceSync::reopen_if_gone() {
  if (!device_->interface_gone()) return {};
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open(interface_);
  if (!opened) return std::move(opened).error();
  device_ = std::move(opened).value();
  return {};
}

Status CanDeviceSync::send(uint32_t id, std::vector<uint8_t> data) {
  return std::move(*send_interruptible(id, std::move(data), {}).value);
}

SlicedWait<Status> CanDeviceSync::send_interruptible(uint32_t id, std::vector<uint8_t> data,
                                                     const InterruptCheck& interrupted) {
  Result<can_frame> frame = build_can_frame(id, data);
  if (!frame) return {Status(std::move(frame).error()), false};
  // A removed interface that is back gets a new socket; while it is missing the opening error
  // is the answer.
  if (Status reopened = reopen_if_gone(); !reopened) return {std::move(reopened), false};
  // One op for the whole wait: it writes the record once, when the socket has room, so a
  // frame is never written twice however many slices the wait takes.
  CanDevice::SendOp op = device_->send_op(frame.value());
  return wait_sliced(op, std::nullopt, interrupted);
}

Result<CanMessage> CanDeviceSync::receive() {
  SlicedWait<Result<CanMessage>> got = receive_interruptible({});
  return std::move(*got.value);
}

SlicedWait<Result<CanMessage>> CanDeviceSync::receive_interruptible(const InterruptCheck& interrupted) {
  while (device_->interface_gone() && !interface_exists(interface_)) {
    rt::SleepOp pause(rt::Clock::now() + kReopenPollPeriod);
    if (wait_sliced(pause, std::nullopt, interrupted).interrupted) return {std::nullopt, true};
  }
  if (Status reopened = reopen_if_gone(); !reopened) {
    return {Result<CanMessage>(std::move(reopened).error()), false};
  }
  CanDevice::ReceiveOp op = device_->receive_op();
  SlicedWait<Result<can_frame>> got = wait_sliced(op, std::nullopt, interrupted);
  if (!got.value) return {std::nullopt, got.interrupted};
  if (!*got.value) return {Result<CanMessage>(std::move(*got.value).error()), false};
  return {Result<CanMessage>(parse_can_frame(got.value->value())), false};
}

}  // namespace varnex
