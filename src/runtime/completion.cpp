#include "runtime/completion.hpp"

namespace varnex::rt {

void Completion::set() noexcept {
  std::vector<Waker> wakers;
  bool sleepers;
  {
    std::lock_guard lock(mutex_);
    if (set_.load(std::memory_order_relaxed)) return;
    set_.store(true, std::memory_order_release);
    wakers.swap(wakers_);
    sleepers = sleepers_ != 0;
  }
  // Notified after the lock is released, so a woken waiter does not at once block on it. The
  // setter keeps the completion alive until set() returns (see the header).
  if (sleepers) changed_.notify_all();
  for (const Waker& waker : wakers) waker->wake();
}

bool Completion::wait_until(std::optional<Instant> deadline) const {
  if (is_set()) return true;
  std::unique_lock lock(mutex_);
  ++sleepers_;
  const auto is_done = [this] { return set_.load(std::memory_order_relaxed); };
  bool done;
  if (deadline) {
    done = changed_.wait_until(lock, *deadline, is_done);
  } else {
    changed_.wait(lock, is_done);
    done = true;
  }
  --sleepers_;
  return done;
}

std::optional<Unit> Completion::poll(const Waker& waker) {
  std::lock_guard lock(mutex_);
  if (set_.load(std::memory_order_relaxed)) return Unit{};
  // A waker polled again (a select's repeated rounds) is kept once, and wakers already woken or
  // withdrawn go, so a completion that long-lived waits poll again and again (a device's close)
  // does not grow with each of them.
  if (!wakers_.empty() && wakers_.back() == waker) return std::nullopt;
  std::erase_if(wakers_, [](const Waker& w) { return w->spent(); });
  wakers_.push_back(waker);
  return std::nullopt;
}

WaitEnd wait_for_completion(const Completion& done, std::optional<Instant> deadline,
                            const InterruptCheck& interrupted) {
  for (;;) {
    std::optional<Instant> slice_end = deadline;
    if (interrupted) {
      const Instant next_check = Clock::now() + kInterruptCheckPeriod;
      if (!slice_end || next_check < *slice_end) slice_end = next_check;
    }
    if (done.wait_until(slice_end)) return WaitEnd::Done;
    if (deadline && Clock::now() >= *deadline) return WaitEnd::TimedOut;
    if (interrupted && interrupted()) return WaitEnd::Interrupted;
  }
}

}  // namespace varnex::rt
