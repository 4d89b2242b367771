// Completion: a one-shot event that every wait of the module is built on.
//
// It is set once and stays set. Any number of parties may wait for it at once: threads block in
// wait_until() (the flag is checked under the same lock the setter takes, so a set() between a
// check and the sleep is never lost), and coroutines await it as an op (poll registers a
// waker). set() wakes them all.
//
// wait_for_completion() is the one blocking wait built on it: a deadline, and an optional
// interrupt check run on the waiting thread between slices of at most kInterruptCheckPeriod
// (for a Python main thread: whether a signal handler raised). wait_op_until() waits for any op
// the same way, on the calling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/poll.hpp"
#include "runtime/reactor.hpp"
#include "runtime/unit.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

class Completion {
 public:
  Completion() = default;
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;

  bool is_set() const noexcept { return set_.load(std::memory_order_acquire); }

  // Sets it (once; later calls do nothing) and wakes every waiter. Safe on any thread. The
  // caller must keep the completion alive until set() returns (waiters may see it set before
  // they are notified), as every setter does by sharing its owner.
  void set() noexcept;

  // Blocks until set or until `deadline` (none: no limit). True when set.
  bool wait_until(std::optional<Instant> deadline) const;

  // Op interface: ready once set.
  using Output = Unit;
  std::optional<Unit> poll(const Waker& waker);

 private:
  std::atomic<bool> set_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable unsigned sleepers_ = 0;  // threads inside wait_until; set() notifies only if any
  std::vector<Waker> wakers_;
};

// True ends the wait. Called on the waiting thread, never with a lock of the module held.
using InterruptCheck = std::function<bool()>;

// The longest stretch between two interrupt checks: Ctrl+C ends a wait within about this.
inline constexpr std::chrono::milliseconds kInterruptCheckPeriod{10};

enum class WaitEnd : std::uint8_t { Done, TimedOut, Interrupted };

// Waits for `done` until `deadline`. With an empty `interrupted` this is one plain sleep; else
// `interrupted` runs at least every kInterruptCheckPeriod. A completion already set is Done
// even when the deadline has passed.
WaitEnd wait_for_completion(const Completion& done, std::optional<Instant> deadline,
                            const InterruptCheck& interrupted = {});

namespace detail {

// The executor of a thread that waits for one op: a wake-up sets the completion the thread
// sleeps on. schedule() reads this object only before setting the completion, so once the
// waiting thread has seen it set, the executor may go.
class CompletionExecutor final : public Executor {
 public:
  explicit CompletionExecutor(std::shared_ptr<Completion> woken) : woken_(std::move(woken)) {}
  void schedule(Job) override {
    std::shared_ptr<Completion> woken = woken_;
    woken->set();
  }

 private:
  std::shared_ptr<Completion> woken_;
};

}  // namespace detail

template <class T>
struct OpWait {
  std::optional<T> value;  // the op's output, when it completed
  WaitEnd end = WaitEnd::TimedOut;
};

// Waits for `op` on the calling thread, with wait_for_completion's deadline and interrupt rules.
// The op keeps its place across interrupt checks (a queued lock request stays queued), and one
// that ends without a value has consumed nothing. An op already ready wins over a deadline
// that has passed, never over an interrupt check that said stop. Never drives runtime tasks,
// so any thread may call it.
template <class Op>
OpWait<OpOutput<Op>> wait_op_until(Op& op, std::optional<Instant> deadline,
                                   const InterruptCheck& interrupted = {}) {
  for (;;) {
    auto woken = std::make_shared<Completion>();
    detail::CompletionExecutor executor(woken);
    auto waker = std::make_shared<WakeTarget>(&executor, Job{});
    if (auto out = op.poll(waker)) {
      waker->finish();
      return {std::move(out), WaitEnd::Done};
    }
    if (!waker->arm()) continue;  // woken while polling: poll again
    const WaitEnd end = wait_for_completion(*woken, deadline, interrupted);
    if (end == WaitEnd::Done) continue;
    // Ending without the op: withdraw the waker. If a wake already claimed it, its schedule()
    // is under way and sets `woken` at once; wait for that so the executor does not go from
    // under it. At a deadline a wake that came in this gap is not lost: the op is polled once
    // more first. An interruption is not polled past: the check has decided (its caller may
    // have an error in hand), and an op that is not polled takes nothing.
    if (!waker->disarm()) woken->wait_until(std::nullopt);
    if (end == WaitEnd::TimedOut) {
      if (auto out = op.poll(waker)) return {std::move(out), WaitEnd::Done};
    }
    return {std::nullopt, end};
  }
}

}  // namespace varnex::rt
