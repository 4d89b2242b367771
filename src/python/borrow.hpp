// Shared or exclusive access to one Python object's state for the duration of a call.
//
// A call that needs access another thread holds in a conflicting way fails at once, without
// waiting, with RuntimeError: "Already borrowed" when exclusive access is refused, "Already
// mutably borrowed" when shared access is refused. Methods take shared access unless their
// class says otherwise (CanDevice.send and receive take exclusive access).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/errors.hpp"

namespace varnex::py {

class BorrowFlag {
 public:
  class Shared;
  class Exclusive;

  // Throws PyErrOccurred (RuntimeError "Already mutably borrowed") while exclusively held.
  Shared shared();
  // Throws PyErrOccurred (RuntimeError "Already borrowed") while held in any way.
  Exclusive exclusive();

 private:
  static constexpr std::intptr_t kExclusive = -1;
  // 0: free; n > 0: n shared holders; kExclusive: one exclusive holder.
  std::atomic<std::intptr_t> state_{0};
};

class BorrowFlag::Shared {
 public:
  Shared(Shared&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() {
    if (flag_) flag_->state_.fetch_sub(1, std::memory_order_release);
  }

 private:
  friend class BorrowFlag;
  explicit Shared(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

class BorrowFlag::Exclusive {
 public:
  Exclusive(Exclusive&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
  ~Exclusive() {
    if (flag_) flag_->state_.store(0, std::memory_order_release);
  }

 private:
  friend class BorrowFlag;
  explicit Exclusive(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

inline BorrowFlag::Shared BorrowFlag::shared() {
  std::intptr_t seen = state_.load(std::memory_order_relaxed);
  do {
    if (seen == kExclusive) throw_python(PyExc_RuntimeError, "Already mutably borrowed");
  } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  return Shared(this);
}

inline BorrowFlag::Exclusive BorrowFlag::exclusive() {
  std::intptr_t expected = 0;
  if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
    throw_python(PyExc_RuntimeError, "Already borrowed");
  }
  return Exclusive(this);
}

}  // namespace varnex::py
