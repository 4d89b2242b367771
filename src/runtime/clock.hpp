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

// The missed-tick rule of every periodic loop. A tick due at `due` was taken at `now`. When it
// was taken at most `kept_lateness` late, the next tick is due one period later, on the grid,
// even if that is already past (so a little lateness is made up at once). Otherwise the grid
// points already passed are skipped, not served in a burst: the next tick is the first grid
// point due + k * period (k >= 1) strictly after now, so the phase never drifts. Computed in
// 128-bit nanoseconds, so long periods far behind do not overflow.
//   the runtime's Interval   kept_lateness = 5 ms (and so the normal timers' scheduler)
//   the timer threads        kept_lateness = one period (a late call is served at once, the
//   and Motor's broadcast    points passed during it are skipped)
Instant next_tick(Instant due, Instant now, std::chrono::nanoseconds period,
                  std::chrono::nanoseconds kept_lateness);

}  // namespace varnex::rt
