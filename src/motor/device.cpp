#include "motor/device.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <utility>

#include "motor/config_commands.hpp"
#include "motor/target_board.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex::motor {

std::shared_ptr<Device> Device::create(uint8_t slot, uint32_t node_id, FocMode mode,
                                       std::shared_ptr<CanLink> link, uint32_t host_id,
                                       std::shared_ptr<TargetBoard> board) {
  return std::shared_ptr<Device>(
      new Device(slot, node_id, mode, std::move(link), host_id, std::move(board)));
}

Device::Device(uint8_t slot, uint32_t node_id, FocMode mode, std::shared_ptr<CanLink> link,
               uint32_t host_id, std::shared_ptr<TargetBoard> board)
    : node_id_(node_id),
      host_id_(host_id),
      board_(std::move(board)),
      link_(std::move(link)),
      slot_index_(std::min(slot, kLastSlot)),
      mode_(mode),
      given_mode_(mode) {}

namespace {

// The shortest text that reads back as the same float: 1000 -> "1000", 0.1f -> "0.1".
std::string shortest(float value) {
  char buf[32];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

}  // namespace

std::optional<std::string> target_report(float value, uint32_t node_id, uint8_t slot,
                                         FocMode mode) {
  const TargetFit fit = target_fit(value, mode);
  if (fit == TargetFit::Fits) return std::nullopt;
  char head[96];
  std::snprintf(head, sizeof head, "[Motor] set_target(%s) on driver 0x%X (slot %u, %s mode)",
                shortest(value).c_str(), static_cast<unsigned>(node_id),
                static_cast<unsigned>(slot), std::string(foc_mode_name(mode)).c_str());
  if (fit == TargetFit::NotANumber) return std::string(head) + " is not a number: sent as 0";
  const float scale = target_scale(mode);
  const std::string unit(target_unit(mode));
  std::string line = std::string(head) + " is out of range: sent as " +
                     shortest(static_cast<float>(encode_target(value, mode)) / scale) + " " + unit +
                     ", the limit of its slot (" + shortest(-32768.0f / scale) + " to " +
                     shortest(32767.0f / scale) + " " + unit + ")";
  if (mode == FocMode::Position) line += "; targets are in rad, not degrees";
  return line;
}

void Device::set_target(float value) {
  board_->set_target(*this, value);
  // One comparison on the way of every target; the report only for a value that does not fit.
  if (target_fit(value, mode_) == TargetFit::Fits) return;
  target_reports_.report_keyed("target", [&] {
    return target_report(value, node_id_, slot_index_, mode_).value_or(std::string());
  });
}

float Device::target() const { return board_->target(*this); }

int16_t Device::encoded_target() const { return encode_target(target(), mode_); }

Status Device::enter_configure() { return queue_open_session(*link_, host_id_, destination()); }

Status Device::exit_configure() { return queue_end_session(*link_, host_id_, destination()); }

Status Device::set_foc_mode(FocMode mode) {
  Status queued = queue_set_foc_mode(*link_, host_id_, destination(), mode);
  if (queued) note_mode_given(mode);
  return queued;
}

Status Device::resend_setup() {
  if (Status opened = enter_configure(); !opened) return opened;
  if (Status set = set_foc_mode(given_mode()); !set) return set;
  return exit_configure();
}

Status Device::start_calibration() {
  return queue_calibration_and_wait(*link_, host_id_, destination());
}

Feedback Device::get_feedback_blocking() {
  rt::AsyncMutex& mutex = feedback_.mutex();
  // Uncontended, which is the rule (the receive task holds the lock only to copy three floats),
  // this costs one atomic step; otherwise wait in line. On a runtime worker, block_in_place first
  // hands the worker's place to a fresh one.
  std::optional<rt::AsyncMutexGuard> guard = mutex.try_lock();
  if (!guard) guard.emplace(rt::block_in_place([&] { return mutex.lock_blocking(); }));
  return feedback_.value_unsafe();
}

rt::Task<void> Device::update_feedback(Feedback feedback, int64_t received_ns) {
  rt::LockOp lock = feedback_.mutex().lock_op();
  rt::AsyncMutexGuard guard = co_await rt::wait(lock);
  feedback_.value_unsafe() = feedback;
  reported_position_.store(feedback.position, std::memory_order_relaxed);
  // The kernel stamps in wall-clock time, which a clock step (NTP at boot, date -s) moves; the
  // age counts on the monotonic clock instead, from the store less the frame's time in queues.
  const auto steady_now = rt::Clock::now().time_since_epoch();
  int64_t queued_ns = 0;
  if (received_ns != 0) {
    const int64_t wall_now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    queued_ns = std::max<int64_t>(0, wall_now_ns - received_ns);
  }
  feedback_received_ns_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(steady_now).count() - queued_ns,
      std::memory_order_relaxed);
  feedback_count_.fetch_add(1, std::memory_order_release);
}

std::optional<double> Device::feedback_age() const {
  if (feedback_count() == 0) return std::nullopt;
  const int64_t now_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(rt::Clock::now().time_since_epoch())
          .count();
  const int64_t age_ns = now_ns - feedback_received_ns_.load(std::memory_order_relaxed);
  return age_ns > 0 ? static_cast<double>(age_ns) / 1e9 : 0.0;
}

}  // namespace varnex::motor
