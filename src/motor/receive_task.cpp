#include "motor/receive_task.hpp"

#include <cstdio>
#include <optional>
#include <utility>

#include "common/diagnostics.hpp"
#include "motor/feedback_match.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex::motor {
namespace {

std::string hex_id(uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(id));
  return buf;
}

}  // namespace

std::string unexpected_length_line(uint32_t id, std::size_t length) {
  return "Warning: ignoring CAN frame 0x" + hex_id(id) + " with unexpected length " +
         std::to_string(length) + "\n";
}

std::string unmatched_frame_line(uint32_t id, std::span<const uint8_t> data) {
  std::string line = "[Motor] unmatched feedback frame: id=0x" + hex_id(id) + ", data=[";
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0) line += ", ";
    line += std::to_string(data[i]);
  }
  line += "]\n";
  return line;
}

void ForeignFrames::unmatched(uint32_t id, std::span<const uint8_t> data) {
  limiter_.report_keyed("unmatched " + hex_id(id), [&] {
    std::string line = unmatched_frame_line(id, data);
    line.pop_back();  // the limiter adds the line feed
    return line;
  }, DiagnosticLevel::Warning, {{"can_id", std::uint64_t{id}}});
}

void ForeignFrames::wrong_length(uint32_t id, std::size_t length) {
  limiter_.report_keyed("length " + hex_id(id), [&] {
    std::string line = unexpected_length_line(id, length);
    line.pop_back();
    return line;
  }, DiagnosticLevel::Warning, {{"can_id", std::uint64_t{id}}});
}

rt::Task<void> receive_feedback(std::shared_ptr<CanLink> link,
                                std::shared_ptr<DeviceList> devices) {
  ForeignFrames foreign;
  for (;;) {
    foreign.flush();
    const rt::Instant attempt_start = rt::Clock::now();
    std::optional<CanMessage> message = co_await link->receive(kReceiveWait.count());
    if (!message) {
      // A time-out has already taken its 100 ms; a link that delivers nothing any more answers at
      // once, and is asked again only after the same pause.
      const rt::Instant next_attempt = attempt_start + kReceiveWait;
      if (rt::Clock::now() < next_attempt) co_await rt::sleep_until(next_attempt);
      continue;
    }
    if (message->data.size() != kFrameLength) {
      foreign.wrong_length(message->id, message->data.size());
      continue;
    }
    const Feedback feedback = decode_feedback(std::span<const uint8_t, kFrameLength>(
        message->data.data(), kFrameLength));
    std::shared_ptr<Device> device = devices->find_by_node(message->id);
    if (device && is_feedback_frame_for(*message, device->node_id())) {
      co_await device->update_feedback(feedback);
    } else {
      foreign.unmatched(message->id, message->data);
    }
  }
}

}  // namespace varnex::motor
