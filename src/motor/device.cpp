#include "motor/device.hpp"

#include <algorithm>
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
      mode_(mode) {}

void Device::set_target(float value) { board_->set_target(*this, value); }

float Device::target() const { return board_->target(*this); }

int16_t Device::encoded_target() const { return encode_target(target(), mode_); }

Status Device::enter_configure() { return queue_open_session(*link_, host_id_, destination()); }

Status Device::exit_configure() { return queue_end_session(*link_, host_id_, destination()); }

Status Device::set_foc_mode(FocMode mode) {
  return queue_set_foc_mode(*link_, host_id_, destination(), mode);
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

rt::Task<void> Device::update_feedback(Feedback feedback) {
  rt::LockOp lock = feedback_.mutex().lock_op();
  rt::AsyncMutexGuard guard = co_await rt::wait(lock);
  feedback_.value_unsafe() = feedback;
  reported_position_.store(feedback.position, std::memory_order_relaxed);
  const auto now = rt::Clock::now().time_since_epoch();
  feedback_stored_ns_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                            std::memory_order_relaxed);
  feedback_count_.fetch_add(1, std::memory_order_release);
}

std::optional<double> Device::feedback_age() const {
  if (feedback_count() == 0) return std::nullopt;
  const auto stored = rt::Instant(std::chrono::duration_cast<rt::Clock::duration>(
      std::chrono::nanoseconds(feedback_stored_ns_.load(std::memory_order_relaxed))));
  return std::chrono::duration<double>(rt::Clock::now() - stored).count();
}

}  // namespace varnex::motor
