#include "can/can_device_sync.hpp"

#include "can/provisioning.hpp"
#include "runtime/runtime.hpp"

namespace varnex {

Result<CanDeviceSync> CanDeviceSync::create(const std::string& interface) {
  if (Status provisioned = ensure_can_interface(interface); !provisioned) {
    return std::move(provisioned).error();
  }
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open_blocking(interface);
  if (!opened) return std::move(opened).error();
  return CanDeviceSync(std::move(opened).value(), interface);
}

Status CanDeviceSync::send(uint32_t id, std::vector<uint8_t> data) {
  return rt::block_in_place([&] { return rt::block_on(device_->send(id, std::move(data))); });
}

Result<CanMessage> CanDeviceSync::receive() {
  SlicedWait<Result<CanMessage>> got = receive_interruptible({});
  return std::move(*got.value);
}

SlicedWait<Result<CanMessage>> CanDeviceSync::receive_interruptible(const InterruptCheck& interrupted) {
  CanDevice::ReceiveOp op = device_->receive_op();
  SlicedWait<Result<can_frame>> got = wait_sliced(op, std::nullopt, interrupted);
  if (!got.value) return {std::nullopt, got.interrupted};
  if (!*got.value) return {Result<CanMessage>(std::move(*got.value).error()), false};
  return {Result<CanMessage>(parse_can_frame(got.value->value())), false};
}

}  // namespace varnex
