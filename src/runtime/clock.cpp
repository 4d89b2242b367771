#include "runtime/clock.hpp"

#include <limits>

namespace varnex::rt {

std::optional<Instant> deadline_after_ms(std::uint64_t milliseconds) {
  constexpr auto kMaxMs =
      static_cast<std::uint64_t>(std::numeric_limits<Clock::rep>::max()) / 1'000'000;
  if (milliseconds > kMaxMs) return std::nullopt;
  return deadline_after(std::chrono::milliseconds(static_cast<std::int64_t>(milliseconds)));
}

std::optional<Instant> deadline_after(std::chrono::nanoseconds limit) {
  if (limit == std::chrono::nanoseconds::max()) return std::nullopt;
  const Instant now = Clock::now();
  if (limit > Instant::max() - now) return std::nullopt;
  return now + limit;
}

timespec to_timespec(Instant deadline) {
  auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  if (ns <= 0) ns = 1;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  return ts;
}

Instant next_tick(Instant due, Instant now, std::chrono::nanoseconds period, MissedTicks policy) {
  if (now <= due + policy.kept_lateness(period)) return due + period;
  const __int128 behind = static_cast<__int128>((now - due).count());
  const __int128 p = period.count();
  const __int128 k = behind / p;  // whole periods passed; the next grid point is strictly after now
  const __int128 at = static_cast<__int128>(due.time_since_epoch().count()) + p * (k + 1);
  return Instant(std::chrono::nanoseconds(static_cast<std::int64_t>(at)));
}

}  // namespace varnex::rt
