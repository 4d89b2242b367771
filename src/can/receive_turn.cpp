#include "can/receive_turn.hpp"

namespace varnex {

namespace {

// The innermost receive of the calling thread; each links to the receive it runs inside (a
// signal handler's receive inside the one it interrupted), so the links form a stack. Per
// thread, so no lock guards it. A plain pointer: every receive reads it, and a thread_local
// with a constructor costs an initialisation check on each access.
thread_local const ReceiveTurn* innermost = nullptr;

}  // namespace

ReceiveTurn::ReceiveTurn(const void* device, rt::AsyncMutex& mutex) noexcept
    : device_(device), mutex_(mutex), outer_(innermost) {
  for (const ReceiveTurn* turn = outer_; turn != nullptr; turn = turn->outer_) {
    if (turn->device_ == device) {
      nested_ = true;
      break;
    }
  }
  innermost = this;
}

ReceiveTurn::~ReceiveTurn() {
  if (guard_) {
    guard_.reset();
    lock_order::released(LockRank::CanReceiveTurn);
  }
  innermost = outer_;  // turns live on the stack: the innermost one ends first
}

bool ReceiveTurn::take_if_free() noexcept {
  if (nested_) return false;
  guard_ = mutex_.try_lock();
  if (!guard_) return false;
  lock_order::acquired(LockRank::CanReceiveTurn);
  return true;
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
    rt::OpWait<rt::AsyncMutexGuard> got = wait_sliced(lock, deadline, hooks.interrupted);
    if (got.end == rt::WaitEnd::Interrupted) return Outcome::Interrupted;
    if (!got.value) return Outcome::TimedOut;  // the deadline passed while another receive ran
    guard_ = std::move(got.value);
  }
  lock_order::acquired(LockRank::CanReceiveTurn);
  return Outcome::Held;
}

}  // namespace varnex
