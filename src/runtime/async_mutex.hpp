// An asynchronous mutex with strict FIFO fairness: waiters are granted the lock in the order
// they first asked for it. unlock() hands the lock straight to the oldest waiter, so a
// newcomer can never overtake a queued task.
//
// In a task:            auto op = mutex.lock_op(); AsyncMutexGuard g = co_await wait(op);
// On a plain thread:    AsyncMutexGuard g = mutex.lock_blocking();
// lock_blocking on a thread that drives tasks is a FatalError: it would stall them.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "runtime/waker.hpp"

namespace varnex::rt {

class AsyncMutex;

class AsyncMutexGuard {
 public:
  AsyncMutexGuard() = default;
  explicit AsyncMutexGuard(AsyncMutex* mutex) : mutex_(mutex) {}
  AsyncMutexGuard(AsyncMutexGuard&& other) noexcept
      : mutex_(std::exchange(other.mutex_, nullptr)) {}
  AsyncMutexGuard& operator=(AsyncMutexGuard&& other) noexcept;
  AsyncMutexGuard(const AsyncMutexGuard&) = delete;
  AsyncMutexGuard& operator=(const AsyncMutexGuard&) = delete;
  ~AsyncMutexGuard() { unlock(); }

  void unlock();
  bool owns_lock() const { return mutex_ != nullptr; }

 private:
  AsyncMutex* mutex_ = nullptr;
};

// Op: one lock request. Queued on its first poll; withdrawing it (destroying the op) before
// it is granted leaves the queue, after it is granted passes the lock on.
class LockOp {
 public:
  using Output = AsyncMutexGuard;
  explicit LockOp(AsyncMutex& mutex) : mutex_(mutex) {}
  LockOp(const LockOp&) = delete;
  LockOp& operator=(const LockOp&) = delete;
  ~LockOp();

  std::optional<AsyncMutexGuard> poll(const Waker& waker);

 private:
  friend class AsyncMutex;
  AsyncMutex& mutex_;
  bool queued_ = false;
  bool granted_ = false;
  bool taken_ = false;
  Waker waker_;
  LockOp* next_ = nullptr;
  LockOp* prev_ = nullptr;
};

class AsyncMutex {
 public:
  AsyncMutex() = default;
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  LockOp lock_op() { return LockOp(*this); }
  std::optional<AsyncMutexGuard> try_lock();
  AsyncMutexGuard lock_blocking();  // throws FatalError on a thread that drives tasks

 private:
  friend class LockOp;
  friend class AsyncMutexGuard;
  void unlock();
  void unlock_locked(std::unique_lock<std::mutex>& lock);

  std::mutex state_;
  bool locked_ = false;
  LockOp* head_ = nullptr;  // oldest waiter
  LockOp* tail_ = nullptr;
};

// A value that is only reached through an AsyncMutex.
template <class T>
class AsyncMutexed {
 public:
  template <class... Args>
  explicit AsyncMutexed(Args&&... args) : value_(std::forward<Args>(args)...) {}

  AsyncMutex& mutex() { return mutex_; }
  // Only while holding a guard of mutex().
  T& value_unsafe() { return value_; }

 private:
  AsyncMutex mutex_;
  T value_;
};

}  // namespace varnex::rt
