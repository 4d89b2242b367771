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

// Deadline = now + milliseconds, or none when the addition would overflow the clock.
std::optional<Instant> deadline_after_ms(uint64_t milliseconds);

// A periodic tick source. The first tick is due at once. When a tick whose deadline D has
// passed is taken at time now, the next deadline is D + period if now <= D + 5 ms (a little
// lateness keeps the grid), otherwise the first grid point D + k*period (k >= 1) strictly
// after now: missed ticks are skipped, not delivered in a burst, and the phase is kept.
class Interval {
 public:
  static constexpr std::chrono::milliseconds kLatenessKeptOnGrid{5};

  explicit Interval(std::chrono::nanoseconds period, Instant start = Clock::now())
      : period_(period), next_(start) {}

  // Waits for the next tick and returns its deadline.
  Task<Instant> tick();

  // The rule above, applied to a tick with deadline `due` taken at `now`.
  static Instant next_deadline(Instant due, Instant now, std::chrono::nanoseconds period);

 private:
  std::chrono::nanoseconds period_;
  Instant next_;
};

}  // namespace varnex::rt
