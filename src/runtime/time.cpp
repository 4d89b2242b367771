#include "runtime/time.hpp"

#include <limits>

namespace varnex::rt {

std::optional<Instant> deadline_after_ms(uint64_t milliseconds) {
  using std::chrono::nanoseconds;
  const auto now = Clock::now().time_since_epoch().count();
  const auto max = std::numeric_limits<Clock::rep>::max();
  if (milliseconds > static_cast<uint64_t>(max) / 1'000'000) return std::nullopt;
  const auto ns = static_cast<Clock::rep>(milliseconds) * 1'000'000;
  if (now > max - ns) return std::nullopt;
  return Instant(nanoseconds(now + ns));
}

Instant Interval::next_deadline(Instant due, Instant now, std::chrono::nanoseconds period) {
  if (now <= due + kLatenessKeptOnGrid) return due + period;
  auto behind = now - due;
  auto k = behind / period;  // whole periods passed; the next grid point is strictly after now
  return due + period * (k + 1);
}

Task<Instant> Interval::tick() {
  Instant due = next_;
  co_await sleep_until(due);
  next_ = next_deadline(due, Clock::now(), period_);
  co_return due;
}

}  // namespace varnex::rt
