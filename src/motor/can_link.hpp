// The two things a motor group needs from its CAN device: queue a frame, and wait a bounded time
// for the next received one. The group and its devices hold the link, never the socket, so the
// group can be driven without a bus (the unit tests put a scripted bus behind it).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "can/bus_state.hpp"
#include "can/can_frame.hpp"
#include "common/result.hpp"
#include "runtime/task.hpp"

namespace varnex {
class CanDeviceAsync;
}

namespace varnex::motor {

class CanLink {
 public:
  virtual ~CanLink() = default;

  // Queues one frame; never waits for the bus. Error "channel closed" (ErrorKind::Os) once the
  // device's background task has ended.
  virtual Status send(uint32_t id, std::vector<uint8_t> data) = 0;

  // A frame that goes out now or not at all (the broadcast's): Written, or NoRoom when it could
  // not be written at once (frames queued ahead, the socket's buffer full); a write failure is
  // the error. Never queues and never waits for the bus.
  enum class Sent : uint8_t { Written, NoRoom };
  virtual Result<Sent> send_now(uint32_t id, std::span<const uint8_t> data) = 0;

  // Keep the frames written but not yet on the bus few (see CanDeviceAsync).
  virtual void keep_kernel_queue_short() {}

  // The next received frame within `limit`, awaited inside a runtime task. Nothing on
  // time-out, and also (at once) when the device can deliver nothing any more.
  virtual rt::Task<std::optional<CanMessage>> receive(std::chrono::nanoseconds limit) = 0;

  // The bus state of the device's interface (can/bus_state.hpp), that interface's name, and a
  // reading of its link (the defaults: a link that is up and keeps no state, as vcan).
  virtual BusState bus_state() { return BusState::Unknown; }
  virtual std::string interface_name() const { return {}; }
  virtual LinkReading link_reading() const { return {true, true, std::nullopt}; }

  // Writes what is queued (bounded), then closes the device; later sends get the closed error.
  // Closing again does nothing.
  virtual void close() {}
  // Ok while the device is open (and in the process that made it), else the error every call on
  // it gets.
  virtual Status open_status() const { return {}; }
};

// The link over a non-blocking CAN device; the link keeps the device alive.
std::shared_ptr<CanLink> link_to(std::shared_ptr<CanDeviceAsync> device);

}  // namespace varnex::motor
