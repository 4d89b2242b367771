// Sleeps, deadlines and intervals on the reactor's timer (millisecond-class accuracy; the
// reactor's timerfd has nanosecond resolution, the wake-up latency dominates).
#pragma once

#include <chrono>
#include <optional>

#include "runtime/poll.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"

namespace varnex::rt {

// Op: ready at the deadline.
class SleepOp {
 public:
  using Output = Unit;
  explicit SleepOp(Instant deadline) : deadline_(deadline) {}
  SleepOp(const SleepOp&) = delete;
  SleepOp& operator=(const SleepOp&) = delete;
  ~SleepOp() { cancel(); }

  Instant deadline() const { return deadline_; }

  std::optional<Unit> poll(const Waker& waker) {
    cancel();
    if (Clock::now() >= deadline_) return Unit{};
    reactor_ = &Runtime::get().reactor();
    key_ = reactor_->add_timer(deadline_, waker);
    return std::nullopt;
  }

 private:
  void cancel() {
    if (key_) reactor_->cancel_timer(*key_);
    key_.reset();
  }
  Instant deadline_;
  Reactor* reactor_ = nullptr;
  std::optional<Reactor::TimerKey> key_;
};

inline Task<void> sleep_until(Instant deadline) {
  SleepOp op(deadline);
  co_await wait(op);
}

inline Task<void> sleep_for(std::chrono::nanoseconds duration) {
  return sleep_until(Clock::now() + duration);
}

// Op: the inner op's output if it is ready by the deadline, else nothing. The inner op is
// polled first, so an op that is already complete wins even when the deadline has passed.
// Without a deadline it waits as long as the inner op does.
template <class Op>
class TimeoutOp {
 public:
  using Output = std::optional<OpOutput<Op>>;

  TimeoutOp(std::optional<Instant> deadline, Op& op) : op_(op) {
    if (deadline) sleep_.emplace(*deadline);
  }

  std::optional<Output> poll(const Waker& waker) {
    std::optional<Output> ready;
    if (auto r = op_.poll(waker)) {
      ready.emplace(std::in_place, std::move(*r));
    } else if (sleep_ && sleep_->poll(waker)) {
      ready.emplace();  // elapsed
    }
    return ready;
  }

 private:
  Op& op_;
  std::optional<SleepOp> sleep_;
};

template <class Op>
Task<std::optional<OpOutput<Op>>> timeout(std::optional<Instant> deadline, Op& op) {
  TimeoutOp<Op> t(deadline, op);
  co_return co_await wait(t);
}

// A periodic tick source. The first tick is due at once; later ones follow next_tick
// (runtime/clock.hpp) with kMissedTicks: up to 5 ms late keeps the grid, more skips the grid
// points passed.
class Interval {
 public:
  static constexpr MissedTicks kMissedTicks =
      MissedTicks::kept_within(std::chrono::milliseconds(5));

  explicit Interval(std::chrono::nanoseconds period, Instant start = Clock::now())
      : period_(period), next_(start) {}

  // Waits for the next tick and returns its deadline.
  Task<Instant> tick();

 private:
  std::chrono::nanoseconds period_;
  Instant next_;
};

}  // namespace varnex::rt
