#include "can/can_device_sync.hpp"

#include "can/provisioning.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

// A receive waiting for a removed interface checks for interrupts after each look.
static_assert(kReopenPollPeriod <= kInterruptCheckPeriod);

Result<CanDeviceSync> CanDeviceSync::create(const std::string& interface) {
  if (Status provisioned = ensure_can_interface(interface); !provisioned) {
    return std::move(provisioned).error();
  }
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open_blocking(interface);
  if (!opened) return std::move(opened).error();
  return CanDeviceSync(std::move(opened).value(), interface);
}

Status CanDeviceSync::reopen_if_gone() {
  if (!device_->interface_gone()) return {};
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open_blocking(interface_);
  if (!opened) return std::move(opened).error();
  device_ = std::move(opened).value();
  return {};
}

Status CanDeviceSync::send(uint32_t id, std::vector<uint8_t> data) {
  if (device_->interface_gone()) {
    // A frame that could never be sent says so whether or not the interface is there.
    if (Result<can_frame> frame = build_can_frame(id, data); !frame) return std::move(frame).error();
    if (Status reopened = reopen_if_gone(); !reopened) return reopened;
  }
  return rt::block_in_place([&] { return rt::block_on(device_->send(id, std::move(data))); });
}

Result<CanMessage> CanDeviceSync::receive() {
  SlicedWait<Result<CanMessage>> got = receive_interruptible({});
  return std::move(*got.value);
}

SlicedWait<Result<CanMessage>> CanDeviceSync::receive_interruptible(const InterruptCheck& interrupted) {
  while (device_->interface_gone() && !interface_exists(interface_)) {
    rt::SleepOp pause(rt::Clock::now() + kReopenPollPeriod);
    wait_sliced(pause, std::nullopt, {});
    if (interrupted && interrupted()) return {std::nullopt, true};
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
