#include "runtime/async_mutex.hpp"

#include "runtime/fatal.hpp"
#include "runtime/runtime.hpp"

namespace varnex::rt {

AsyncMutexGuard& AsyncMutexGuard::operator=(AsyncMutexGuard&& other) noexcept {
  if (this != &other) {
    unlock();
    mutex_ = std::exchange(other.mutex_, nullptr);
  }
  return *this;
}

void AsyncMutexGuard::unlock() {
  if (mutex_) std::exchange(mutex_, nullptr)->unlock();
}

LockOp::~LockOp() {
  std::unique_lock lock(mutex_.state_);
  if (queued_ && !granted_) {
    (prev_ ? prev_->next_ : mutex_.head_) = next_;
    (next_ ? next_->prev_ : mutex_.tail_) = prev_;
  } else if (granted_ && !taken_) {
    mutex_.unlock_locked(lock);  // granted to a request nobody will use: pass it on
  }
}

std::optional<AsyncMutexGuard> LockOp::poll(const Waker& waker) {
  std::lock_guard lock(mutex_.state_);
  if (granted_) {
    taken_ = true;
    return AsyncMutexGuard(&mutex_);
  }
  if (!queued_) {
    if (!mutex_.locked_) {
      mutex_.locked_ = true;
      granted_ = taken_ = true;
      return AsyncMutexGuard(&mutex_);
    }
    queued_ = true;
    prev_ = mutex_.tail_;
    (mutex_.tail_ ? mutex_.tail_->next_ : mutex_.head_) = this;
    mutex_.tail_ = this;
  }
  waker_ = waker;
  return std::nullopt;
}

std::optional<AsyncMutexGuard> AsyncMutex::try_lock() {
  std::lock_guard lock(state_);
  if (locked_) return std::nullopt;
  locked_ = true;
  return AsyncMutexGuard(this);
}

AsyncMutexGuard AsyncMutex::lock_blocking() {
  if (this_thread_context().drives_tasks) throw FatalError(kBlockingLockInRuntimeMessage);
  LockOp op(*this);
  return block_on_op(op);
}

void AsyncMutex::unlock() {
  std::unique_lock lock(state_);
  unlock_locked(lock);
}

void AsyncMutex::unlock_locked(std::unique_lock<std::mutex>& lock) {
  LockOp* next = head_;
  if (next == nullptr) {
    locked_ = false;
    return;
  }
  // Ownership moves to the oldest waiter while the mutex stays locked.
  head_ = next->next_;
  (head_ ? head_->prev_ : tail_) = nullptr;
  next->next_ = next->prev_ = nullptr;
  next->granted_ = true;
  Waker waker = std::move(next->waker_);
  lock.unlock();
  if (waker) waker->wake();
  lock.lock();
}

}  // namespace varnex::rt
