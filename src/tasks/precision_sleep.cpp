#include "tasks/precision_sleep.hpp"

#include <cerrno>
#include <ctime>

namespace varnex {

namespace {

// Sleeps until an absolute CLOCK_MONOTONIC time, so an interrupted sleep resumes towards the
// same wake-up time.
void sleep_until_monotonic(rt::Instant wake) {
  const timespec ts = rt::to_timespec(wake);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

bool precision_sleep_until_sync(rt::Instant target, std::chrono::nanoseconds spin_window) {
  rt::Instant now = rt::Clock::now();
  if (now >= target) return false;
  bool slept = false;
  if (target - now > spin_window) {
    sleep_until_monotonic(target - spin_window);
    slept = true;
  }
  now = rt::Clock::now();
  while (now < target) {
    cpu_relax();
    now = rt::Clock::now();
  }
  return slept;
}


}  // namespace varnex
