// The one clock of the module and what is computed from it: deadlines from the limits users
// give, the kernel's timespec for a deadline, and the rule for ticks that were missed.
//
// Clock is steady_clock, which on Linux is CLOCK_MONOTONIC: the clock of the reactor's
// timerfd, of clock_nanosleep in the timer threads and of Python's time.monotonic().
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace varnex::rt {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// Now + `milliseconds`, or none (no limit) when that is past the clock's end.
std::optional<Instant> deadline_after_ms(std::uint64_t milliseconds);
// Now + `limit`, or none (no limit) for the largest limit or one past the clock's end.
std::optional<Instant> deadline_after(std::chrono::nanoseconds limit);

// The deadline as an absolute CLOCK_MONOTONIC time; instants before the clock's start are
// clamped to its first nanosecond (a zero timerfd value would disarm it).
timespec to_timespec(Instant deadline);

// How late a tick may be taken and still keep the grid: the missed-tick policy of a periodic
// loop (next_tick).
//   the runtime's Interval   MissedTicks::kept_within(5 ms) (and so the normal timers' scheduler)
//   the timer threads        MissedTicks::kept_within_a_period() (a late call is served at once,
//   and Motor's broadcast    the points passed during it are skipped)
class MissedTicks {
 public:
  static constexpr MissedTicks kept_within(std::chrono::nanoseconds lateness) {
    return MissedTicks(lateness);
  }
  static constexpr MissedTicks kept_within_a_period() { return MissedTicks(std::nullopt); }

  // The lateness that still keeps the grid for ticks of `period`.
  constexpr std::chrono::nanoseconds kept_lateness(std::chrono::nanoseconds period) const {
    return lateness_ ? *lateness_ : period;
  }

 private:
  constexpr explicit MissedTicks(std::optional<std::chrono::nanoseconds> lateness)
      : lateness_(lateness) {}
  std::optional<std::chrono::nanoseconds> lateness_;  // none: one period
};

// The missed-tick rule of every periodic loop. A tick due at `due` was taken at `now`. When it
// was taken at most the policy's kept lateness late, the next tick is due one period later, on
// the grid, even if that is already past (so a little lateness is made up at once). Otherwise
// the grid points already passed are skipped, not served in a burst: the next tick is the first
// grid point due + k * period (k >= 1) strictly after now, so the phase never drifts. Computed
// in 128-bit nanoseconds, so long periods far behind do not overflow.
Instant next_tick(Instant due, Instant now, std::chrono::nanoseconds period, MissedTicks policy);

}  // namespace varnex::rt
