#include "motor/receive_task.hpp"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "motor/feedback_match.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex::motor {
namespace {

std::string hex_id(uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(id));
  return buf;
}

// The receive task's watch over every registered device's answers (setup_watch.hpp). The list is
// only appended to, so the watch follows it by its size.
class Watches {
 public:
  Watches(std::shared_ptr<DeviceList> devices, std::shared_ptr<TargetBoard> board,
          ReceiveOptions options)
      : devices_(std::move(devices)), board_(std::move(board)), options_(options) {}

  // On every turn, at most every kSweepEvery: takes in new devices and the latest target frame,
  // and lets the devices summarise their reports.
  void sweep(rt::Instant now) {
    if (now - last_sweep_ < kSweepEvery) return;
    last_sweep_ = now;
    if (devices_->size() > watched_.size()) {
      const std::vector<std::shared_ptr<Device>> all = devices_->snapshot();
      for (std::size_t i = watched_.size(); i < all.size(); ++i) {
        watched_.push_back({all[i], AnswerWatch(all[i]->setup_sent_at())});
      }
    }
    const std::optional<rt::Instant> sent = board_->last_sent();
    for (Watched& w : watched_) {
      w.watch.target_sent(sent);
      w.device->flush_reports();
    }
  }

  // A feedback frame of `device` was stored at `now`.
  void answered(const Device& device, rt::Instant now) {
    sweep(now);
    for (Watched& w : watched_) {
      if (w.device.get() != &device) continue;
      const SetupVerdict verdict = w.watch.answered(now);
      if (verdict == SetupVerdict::Fine) return;
      bool resent = false;
      if (options_.reapply_setup) {
        const Status sent = w.device->resend_setup();
        resent = static_cast<bool>(sent);
      }
      write_stderr(setup_verdict_line(verdict, w.watch.gap_seconds(), device.node_id(),
                                      device.slot_index(), device.given_mode(), resent) +
                   "\n");
      return;
    }
  }

 private:
  static constexpr std::chrono::milliseconds kSweepEvery{10};
  struct Watched {
    std::shared_ptr<Device> device;
    AnswerWatch watch;
  };
  std::shared_ptr<DeviceList> devices_;
  std::shared_ptr<TargetBoard> board_;
  ReceiveOptions options_;
  std::vector<Watched> watched_;
  rt::Instant last_sweep_{};
};

// The group's bus state as last reported (see the header). It follows the error frames in the
// order this task takes them, with a rule of its own (the device's may be ahead of the task),
// so each change is reported even when several frames come at once.
class BusStateWatch {
 public:
  BusStateWatch(CanLink& link, const LinkReading& first)
      : link_(link),
        interface_(link.interface_name()),
        polls_(first.kernel_state.has_value()),
        reported_(rule_.current(first)),
        checked_(rt::Clock::now()) {}

  // An error frame the task took.
  void saw(const CanMessage& frame, rt::Instant now) {
    rule_.saw_error_frame(frame);
    check(now, true);
  }
  // Looks at the state when `due` or once kBusStateCheck has passed since it last did.
  void check(rt::Instant now, bool due = false) {
    if (!due && (!polls_ || now - checked_ < kBusStateCheck)) return;
    checked_ = now;
    const BusState state = rule_.current(link_.link_reading());
    if (state == reported_) return;
    limiter_.report(bus_state_line(interface_, reported_, state), DiagnosticLevel::Warning,
                    {{"interface", interface_}});
    reported_ = state;
  }
  void flush() { limiter_.flush(); }

 private:
  CanLink& link_;
  const std::string interface_;
  const bool polls_;  // the link has a state of its own
  BusStateRule rule_;
  BusState reported_;
  rt::Instant checked_;
  RepeatLimiter limiter_;
};

}  // namespace

std::string bus_state_line(const std::string& interface, BusState before, BusState now) {
  return "[Motor] bus state of " + interface + ": " + bus_state_name(before) + " -> " +
         bus_state_name(now);
}

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
  limiter_.report_keyed("unmatched " + hex_id(id),
                        [&] {
                          std::string line = unmatched_frame_line(id, data);
                          line.pop_back();  // the limiter adds the line feed
                          return line;
                        },
                        DiagnosticLevel::Warning, {{"can_id", std::uint64_t{id}}});
}

void ForeignFrames::wrong_length(uint32_t id, std::size_t length) {
  limiter_.report_keyed("length " + hex_id(id),
                        [&] {
                          std::string line = unexpected_length_line(id, length);
                          line.pop_back();
                          return line;
                        },
                        DiagnosticLevel::Warning, {{"can_id", std::uint64_t{id}}});
}

rt::Task<void> receive_feedback(std::shared_ptr<CanLink> link, std::shared_ptr<DeviceList> devices,
                                std::shared_ptr<TargetBoard> board, LinkReading first_reading,
                                ReceiveOptions options) {
  ForeignFrames foreign;
  Watches watches(devices, std::move(board), options);
  BusStateWatch bus_state(*link, first_reading);
  for (;;) {
    foreign.flush();
    bus_state.flush();
    watches.sweep(rt::Clock::now());
    bus_state.check(rt::Clock::now());
    const rt::Instant attempt_start = rt::Clock::now();
    std::optional<CanMessage> message = co_await link->receive(kReceiveWait);
    if (!message) {
      // A time-out has already taken its 100 ms; a link that delivers nothing any more answers at
      // once, and is asked again only after the same pause.
      const rt::Instant next_attempt = attempt_start + kReceiveWait;
      if (rt::Clock::now() < next_attempt) co_await rt::sleep_until(next_attempt);
      continue;
    }
    if (message->error) {
      bus_state.saw(*message, rt::Clock::now());
      continue;
    }
    if (message->data.size() != kFrameLength) {
      foreign.wrong_length(message->id, message->data.size());
      continue;
    }
    const Feedback feedback =
        decode_feedback(std::span<const uint8_t, kFrameLength>(message->data.data(), kFrameLength));
    std::shared_ptr<Device> device = devices->find_by_node(message->id);
    if (device && is_feedback_frame_for(*message, device->node_id())) {
      co_await device->update_feedback(feedback, message->received_ns);
      watches.answered(*device, rt::Clock::now());
    } else {
      foreign.unmatched(message->id, message->data);
    }
  }
}

}  // namespace varnex::motor
