// The hybrid wait of the timer threads: an OS sleep until shortly before the deadline, then a
// busy-wait on the monotonic clock with the CPU's spin-wait hint. The OS sleep ends a spin
// window early to absorb the kernel's wake-up latency; the spin ends at the first clock reading
// at or after the deadline. No yield in between: yielding would hand the CPU away for a
// scheduler slice at exactly the wrong moment.
#pragma once

#include <chrono>

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

}  // namespace varnex
