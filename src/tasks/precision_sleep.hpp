// The waits of the timer threads.
//
// The hybrid wait: an OS sleep until shortly before the deadline, then a busy-wait on the
// monotonic clock with the CPU's spin-wait hint. The OS sleep ends a spin window early to absorb
// the kernel's wake-up latency; the spin ends at the first clock reading at or after the
// deadline. No yield in between: yielding would hand the CPU away for a scheduler slice at
// exactly the wrong moment.
//
// Two window policies:
//   fixed     the mode's window (0.8 ms High, 3 ms Realtime), whatever the machine does:
//             FixedSpinWait, precision_sleep_until_sync.
//   adaptive  only as long as this thread's OS sleeps have actually been late (AdaptiveSpin:
//             their recent p99.5, the mode's window as the bound), with the thread's timer slack
//             at its minimum so that the kernel does not add lateness of its own: AdaptiveSpinWait.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "runtime/clock.hpp"

namespace varnex {

// One spin-wait hint: PAUSE on x86 (eases the sibling hyperthread and the exit from the spin),
// YIELD on ARM, a compiler barrier elsewhere.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield" ::: "memory");
#else
  asm volatile("" ::: "memory");
#endif
}

// Returns on the calling thread no earlier than `target`. When the deadline is more than
// `spin_window` away, the thread first sleeps until `target - spin_window`. Returns whether
// it used the OS sleep (false when the target had passed or was within the window).
bool precision_sleep_until_sync(rt::Instant target, std::chrono::nanoseconds spin_window);

// The clock of a timer thread and its two ways of passing time; tests supply a fake one.
class ThreadClock {
 public:
  virtual ~ThreadClock() = default;
  virtual rt::Instant now() = 0;
  // The OS sleep to an absolute time: never returns earlier, may return later.
  virtual void sleep_until(rt::Instant wake) = 0;
  // Busy-waits until the first reading at or after `target`.
  virtual void spin_until(rt::Instant target) = 0;
};

// CLOCK_MONOTONIC (rt::Clock): clock_nanosleep with TIMER_ABSTIME, and a spin with cpu_relax().
ThreadClock& monotonic_thread_clock() noexcept;

// How a timer thread waits for each deadline; the loop reads its clock through it too.
class DeadlineWait {
 public:
  virtual ~DeadlineWait() = default;
  virtual rt::Instant now() = 0;
  // Returns no earlier than `target` (at once when it has passed).
  virtual void until(rt::Instant target) = 0;
};

// precision_sleep_until_sync with one window for the thread's life.
class FixedSpinWait final : public DeadlineWait {
 public:
  explicit FixedSpinWait(std::chrono::nanoseconds window) noexcept : window_(window) {}
  rt::Instant now() override { return rt::Clock::now(); }
  void until(rt::Instant target) override { precision_sleep_until_sync(target, window_); }

 private:
  std::chrono::nanoseconds window_;
};

// The spin window learned from how late one thread's OS sleeps returned.
//
// Lateness samples go into a histogram (1 us buckets up to 16 us, then 8 per octave); every
// kDecayAfter samples all counts are halved, so that it reflects the last one to two thousand
// sleeps and a single spike (a preemption) is forgotten within them. The window is the upper
// edge of the bucket holding the p99.5 of the counts (the highest one in two hundred, rounded up,
// is left out), plus kMargin, at most `bound` (the mode's fixed window). Sleeps later than the
// bound count among the sleeps but do not pull the window up: the fixed window would have missed
// them as well, so spinning longer for them would buy nothing. p99.5 rather than
// p99.9: a virtual machine's vCPU now and then wakes a thread a millisecond late, which a p99.9
// window would chase to its bound, spinning most of every period for one call in a thousand;
// at p99.5 one call in two hundred may be late and the p99 stays on time.
// Until kWarmup samples are in, the window starts at `bound`; when a deadline was already within
// the window (so no sleep happened, and nothing was learned) kProbeAfter times in a row, the
// starting window is halved, so that a fast timer too gets to sleep and learn.
class AdaptiveSpin {
 public:
  static constexpr std::chrono::nanoseconds kMargin{5'000};
  static constexpr unsigned kWarmup = 64;
  static constexpr unsigned kProbeAfter = 16;
  static constexpr std::uint32_t kDecayAfter = 2048;
  static constexpr double kQuantile = 0.995;

  explicit AdaptiveSpin(std::chrono::nanoseconds bound) noexcept;

  std::chrono::nanoseconds window() const noexcept { return window_; }
  // One OS sleep that returned `lateness` after the time it was asked to end.
  void record(std::chrono::nanoseconds lateness) noexcept;
  // One wait whose deadline was within the window: it only spun.
  void record_no_sleep() noexcept;

  // The histogram's buckets, exposed for the tests of its edges.
  static std::size_t bucket_of(std::chrono::nanoseconds lateness) noexcept;
  static std::chrono::nanoseconds upper_edge(std::size_t bucket) noexcept;
  static constexpr std::size_t kBuckets = 16 + 8 * 10;  // up to 16 us * 2^10, about 16 ms

 private:
  void update_window() noexcept;

  const std::chrono::nanoseconds bound_;
  std::chrono::nanoseconds window_;
  std::chrono::nanoseconds probe_;        // the starting window while warming up
  std::chrono::nanoseconds max_seen_{0};  // the latest sleep while warming up
  std::array<std::uint32_t, kBuckets> counts_{};
  std::uint32_t total_ = 0;
  std::uint32_t since_decay_ = 0;
  unsigned samples_ = 0;       // up to kWarmup
  unsigned no_sleep_run_ = 0;  // waits in a row that only spun, while warming up
};

// Sleeps until the deadline minus the learned window, then spins. Sets the calling thread's
// timer slack to its minimum (1 ns) for its life, so that the kernel ends the sleep as close to
// the asked time as it can; the previous slack comes back when it is destroyed. Construct it on
// the thread that waits.
class AdaptiveSpinWait final : public DeadlineWait {
 public:
  explicit AdaptiveSpinWait(std::chrono::nanoseconds bound,
                            ThreadClock& clock = monotonic_thread_clock()) noexcept;
  ~AdaptiveSpinWait() override;
  AdaptiveSpinWait(const AdaptiveSpinWait&) = delete;
  AdaptiveSpinWait& operator=(const AdaptiveSpinWait&) = delete;

  rt::Instant now() override { return clock_.now(); }
  void until(rt::Instant target) override;

  const AdaptiveSpin& spin() const noexcept { return spin_; }

 private:
  ThreadClock& clock_;
  AdaptiveSpin spin_;
  long previous_slack_ns_;  // negative: could not be read, nothing to restore
};

}  // namespace varnex
