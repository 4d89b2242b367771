#include "runtime/time.hpp"

#include <limits>

namespace varnex::rt {

Task<Instant> Interval::tick() {
  Instant due = next_;
  co_await sleep_until(due);
  next_ = next_tick(due, Clock::now(), period_, kMissedTicks);
  co_return due;
}

}  // namespace varnex::rt
