#include "can/receive_turn.hpp"

#include <algorithm>

namespace varnex {

namespace {

// The devices the calling thread is receiving on, innermost last. Per thread, so no lock guards
// it; the entries are compared, never dereferenced.
thread_local std::vector<const void*> receiving;

}  // namespace

ReceiveTurn::ReceiveTurn(const void* device, rt::AsyncMutex& mutex) noexcept
    : device_(device),
      mutex_(mutex),
      nested_(std::find(receiving.begin(), receiving.end(), device) != receiving.end()) {
  if (!nested_) receiving.push_back(device_);
}

ReceiveTurn::~ReceiveTurn() {
  if (guard_) {
    guard_.reset();
    lock_order::released(LockRank::CanReceiveTurn);
  }
  if (!nested_) receiving.erase(std::find(receiving.begin(), receiving.end(), device_));
}

ReceiveTurn::Outcome ReceiveTurn::take(std::optional<rt::Instant> deadline,
                                       const ReceiveHooks& hooks) {
  if (nested_) return Outcome::Nested;
  guard_ = mutex_.try_lock();
  if (!guard_) {
    waited_ = true;
    if (hooks.held != nullptr) hooks.held->release();
    lock_order::before_wait(LockRank::CanReceiveTurn);
    rt::LockOp lock = mutex_.lock_op();
    SlicedWait<rt::AsyncMutexGuard> got = wait_sliced(lock, deadline, hooks.interrupted);
    if (got.interrupted) return Outcome::Interrupted;
    if (!got.value) return Outcome::TimedOut;  // the deadline passed while another receive ran
    guard_ = std::move(got.value);
  }
  lock_order::acquired(LockRank::CanReceiveTurn);
  return Outcome::Held;
}

}  // namespace varnex
