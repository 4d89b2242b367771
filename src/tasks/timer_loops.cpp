#include "tasks/timer_loops.hpp"

#include <utility>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "tasks/precision_sleep.hpp"

namespace varnex {

void timer_thread_loop(std::chrono::nanoseconds period, std::chrono::nanoseconds spin_window,
                       std::atomic<bool>& running, std::atomic<std::uint64_t>& tick_count,
                       const std::atomic<bool>& stop_flag, TickCallback& callback) {
  const TimerInstant start = TimerClock::now();
  TimerInstant next = start + period;
  for (;;) {
    if (!running.load(std::memory_order_acquire)) break;
    if (stop_flag.load(std::memory_order_acquire)) {
      running.store(false, std::memory_order_release);
      break;
    }
    if (!callback.call()) {
      running.store(false, std::memory_order_release);
      break;
    }
    tick_count.fetch_add(1, std::memory_order_acq_rel);
    precision_sleep_until_sync(next, spin_window);
    next += period;
    next = catch_up(next, TimerClock::now(), period);
  }
}

rt::Task<void> timer_task_loop(std::chrono::nanoseconds period, RunningFlag running,
                               TickCount tick_count, const std::atomic<bool>& stop_flag,
                               std::shared_ptr<TickCallback> callback) {
  rt::Interval interval(period);
  for (;;) {
    if (!running->load(std::memory_order_acquire)) break;
    co_await interval.tick();
    if (stop_flag.load(std::memory_order_acquire)) {
      running->store(false, std::memory_order_release);
      break;
    }
    bool callable = true;
    try {
      auto job = rt::spawn_blocking([callback] { return callback->call(); });
      callable = co_await job.join();
    } catch (const std::exception&) {
      // A pool job that could not run (no thread for it) counts as a call, like a failed one.
    }
    if (!callable) {
      running->store(false, std::memory_order_release);
      break;
    }
    tick_count->fetch_add(1, std::memory_order_acq_rel);
  }
  try {
    rt::spawn_blocking([last = std::move(callback)]() mutable { last.reset(); });
  } catch (const std::exception&) {
    // No pool thread: the reference is dropped here after all.
  }
}

}  // namespace varnex
