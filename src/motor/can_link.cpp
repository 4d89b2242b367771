#include "motor/can_link.hpp"

#include <utility>

#include "can/can_device_async.hpp"

namespace varnex::motor {
namespace {

class AsyncDeviceLink final : public CanLink {
 public:
  explicit AsyncDeviceLink(std::shared_ptr<CanDeviceAsync> device) : device_(std::move(device)) {}

  Status send(uint32_t id, std::vector<uint8_t> data) override {
    return device_->send_nonblocking(id, std::move(data));
  }

  Result<Sent> send_now(uint32_t id, std::span<const uint8_t> data) override {
    Result<CanDeviceAsync::Sent> sent = device_->send_now(id, data);
    if (!sent) return std::move(sent).error();
    return sent.value() == CanDeviceAsync::Sent::Written ? Sent::Written : Sent::NoRoom;
  }

  void keep_kernel_queue_short() override { device_->keep_kernel_queue_short(); }

  rt::Task<std::optional<CanMessage>> receive(std::chrono::nanoseconds limit) override {
    return device_->receive_timeout_async(limit);
  }

  void close() override { device_->close(); }

  BusState bus_state() override { return device_->bus_state(); }
  std::string interface_name() const override { return device_->interface(); }
  LinkReading link_reading() const override { return read_link(device_->interface()); }

  Status open_status() const override { return device_->usable(); }

 private:
  std::shared_ptr<CanDeviceAsync> device_;
};

}  // namespace

std::shared_ptr<CanLink> link_to(std::shared_ptr<CanDeviceAsync> device) {
  return std::make_shared<AsyncDeviceLink>(std::move(device));
}

}  // namespace varnex::motor
