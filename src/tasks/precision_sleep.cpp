#include "tasks/precision_sleep.hpp"

#include <cerrno>
#include <ctime>

namespace varnex {

namespace {

// Sleeps until an absolute CLOCK_MONOTONIC time (the clock behind steady_clock), so an
// interrupted sleep resumes towards the same wake-up time.
void sleep_until_monotonic(TimerInstant wake) {
  const auto ns = wake.time_since_epoch().count();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

bool precision_sleep_until_sync(TimerInstant target, std::chrono::nanoseconds spin_window) {
  TimerInstant now = TimerClock::now();
  if (now >= target) return false;
  bool slept = false;
  if (target - now > spin_window) {
    sleep_until_monotonic(target - spin_window);
    slept = true;
  }
  now = TimerClock::now();
  while (now < target) {
    cpu_relax();
    now = TimerClock::now();
  }
  return slept;
}

TimerInstant catch_up(TimerInstant next, TimerInstant now, std::chrono::nanoseconds period) {
  if (now <= next) return next;
  const __int128 behind = static_cast<__int128>((now - next).count());
  const __int128 p = period.count();
  const __int128 k = behind / p;
  const __int128 moved = static_cast<__int128>(next.time_since_epoch().count()) + p * (k + 1);
  return TimerInstant(std::chrono::nanoseconds(static_cast<std::int64_t>(moved)));
}

}  // namespace varnex
