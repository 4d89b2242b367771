#include "tasks/precision_sleep.hpp"

#include <sys/prctl.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <ctime>

namespace varnex {

namespace {

using std::chrono::nanoseconds;

// Sleeps until an absolute CLOCK_MONOTONIC time, so an interrupted sleep resumes towards the
// same wake-up time.
void sleep_until_monotonic(rt::Instant wake) {
  const timespec ts = rt::to_timespec(wake);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void spin_until_monotonic(rt::Instant target) {
  while (rt::Clock::now() < target) cpu_relax();
}

class MonotonicThreadClock final : public ThreadClock {
 public:
  rt::Instant now() override { return rt::Clock::now(); }
  void sleep_until(rt::Instant wake) override { sleep_until_monotonic(wake); }
  void spin_until(rt::Instant target) override { spin_until_monotonic(target); }
};

constexpr std::size_t kLinear = 16;  // 1 us buckets below 16 us

}  // namespace

bool precision_sleep_until_sync(rt::Instant target, nanoseconds spin_window) {
  rt::Instant now = rt::Clock::now();
  if (now >= target) return false;
  bool slept = false;
  if (target - now > spin_window) {
    sleep_until_monotonic(target - spin_window);
    slept = true;
  }
  spin_until_monotonic(target);
  return slept;
}

ThreadClock& monotonic_thread_clock() noexcept {
  // Stateless and never destroyed: timer threads read it until the process has ended.
  static ThreadClock& clock = *new MonotonicThreadClock;
  return clock;
}

// ---- AdaptiveSpin ----

AdaptiveSpin::AdaptiveSpin(nanoseconds bound) noexcept
    : bound_(std::max(bound, kMargin)), window_(bound_), probe_(bound_) {}

std::size_t AdaptiveSpin::bucket_of(nanoseconds lateness) noexcept {
  const auto us = static_cast<std::uint64_t>(std::max<std::int64_t>(lateness.count(), 0) / 1000);
  if (us < kLinear) return static_cast<std::size_t>(us);
  const int msb = std::bit_width(us) - 1;  // >= 4
  const std::uint64_t sub = (us >> (msb - 3)) & 7;
  const std::size_t bucket = kLinear + static_cast<std::size_t>(msb - 4) * 8 + sub;
  return std::min(bucket, kBuckets - 1);
}

nanoseconds AdaptiveSpin::upper_edge(std::size_t bucket) noexcept {
  if (bucket < kLinear) return nanoseconds(static_cast<std::int64_t>(bucket + 1) * 1000);
  const std::size_t octave = (bucket - kLinear) / 8;
  const std::uint64_t sub = (bucket - kLinear) % 8;
  const int shift = static_cast<int>(octave) + 1;  // bucket width in us: 2^(msb - 3)
  const std::uint64_t upper_us = ((8 + sub) << shift) + (std::uint64_t{1} << shift);
  return nanoseconds(static_cast<std::int64_t>(upper_us) * 1000);
}

void AdaptiveSpin::record(nanoseconds lateness) noexcept {
  ++counts_[bucket_of(lateness)];
  ++total_;
  no_sleep_run_ = 0;
  if (samples_ < kWarmup) {
    ++samples_;
    max_seen_ = std::max(max_seen_, lateness);
  }
  if (++since_decay_ >= kDecayAfter) {
    since_decay_ = 0;
    total_ = 0;
    for (auto& c : counts_) total_ += (c >>= 1);
  }
  update_window();
}

void AdaptiveSpin::record_no_sleep() noexcept {
  if (samples_ >= kWarmup || ++no_sleep_run_ < kProbeAfter) return;
  no_sleep_run_ = 0;
  probe_ = std::max(probe_ / 2, kMargin);
  update_window();
}

void AdaptiveSpin::update_window() noexcept {
  nanoseconds window;
  if (samples_ < kWarmup) {
    window = std::max(probe_, max_seen_ + kMargin);
  } else {
    // The highest bucket with more than the allowed share of the counts above it; the share is
    // rounded up, so that a lone spike among few sleeps is ignored too. Sleeps later than the
    // bound are not looked at: no window within it would have caught them.
    const auto allowed =
        static_cast<std::uint32_t>(std::ceil(static_cast<double>(total_) * (1.0 - kQuantile)));
    std::uint32_t above = 0;
    std::size_t bucket = 0;
    for (std::size_t b = bucket_of(bound_) + 1; b-- > 0;) {
      if (above + counts_[b] > allowed) {
        bucket = b;
        break;
      }
      above += counts_[b];
    }
    window = upper_edge(bucket) + kMargin;
  }
  window_ = std::clamp(window, kMargin, bound_);
}

// ---- AdaptiveSpinWait ----

AdaptiveSpinWait::AdaptiveSpinWait(nanoseconds bound, ThreadClock& clock) noexcept
    : clock_(clock), spin_(bound), previous_slack_ns_(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
  // 1 ns is the least slack there is (0 would mean "the default" again).
  if (previous_slack_ns_ >= 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

AdaptiveSpinWait::~AdaptiveSpinWait() {
  if (previous_slack_ns_ >= 0) {
    ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_slack_ns_), 0, 0, 0);
  }
}

void AdaptiveSpinWait::until(rt::Instant target) {
  const rt::Instant now = clock_.now();
  if (now >= target) return;
  const nanoseconds window = spin_.window();
  if (target - now > window) {
    const rt::Instant wake = target - window;
    clock_.sleep_until(wake);
    spin_.record(clock_.now() - wake);
  } else {
    spin_.record_no_sleep();
  }
  clock_.spin_until(target);
}

}  // namespace varnex
