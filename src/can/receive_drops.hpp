// Frames the kernel dropped because a socket's receive buffer was full, and when to say so.
//
// With SO_RXQ_OVFL the kernel hands, with each frame it queued after a drop, its running count
// of the socket's drops as it stood then (32 bits, wrapping). A count that has grown since the
// last frame means frames were lost in between. So that a lasting overload prints one line a
// second rather than one per frame, the first loss is due at once and later ones are summed
// until a window has passed since the last report.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "runtime/clock.hpp"

namespace varnex {

class ReceiveDrops {
 public:
  using Clock = rt::Clock;
  static constexpr std::chrono::seconds kWindow{1};

  // The kernel's count as a received frame carried it.
  void saw(uint32_t kernel_count) {
    unreported_ += static_cast<uint32_t>(kernel_count - last_count_);  // modulo 2^32
    last_count_ = kernel_count;
  }

  // Frames lost since the last report, if any are and a report is due at `now`; they then
  // count as reported.
  std::optional<uint64_t> due(Clock::time_point now) {
    if (unreported_ == 0) return std::nullopt;
    if (last_report_ && now - *last_report_ < kWindow) return std::nullopt;
    last_report_ = now;
    return std::exchange(unreported_, 0);
  }

  // Frames lost and not yet reported, whatever the window (for a socket that closes); they
  // then count as reported.
  std::optional<uint64_t> take() {
    if (unreported_ == 0) return std::nullopt;
    return std::exchange(unreported_, 0);
  }

  uint64_t unreported() const { return unreported_; }

 private:
  uint32_t last_count_ = 0;  // a new socket has dropped nothing
  uint64_t unreported_ = 0;
  std::optional<Clock::time_point> last_report_;
};

}  // namespace varnex
