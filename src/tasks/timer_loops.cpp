#include "tasks/timer_loops.hpp"

#include <utility>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "tasks/precision_sleep.hpp"

namespace varnex {

namespace {

// Right before a call: false when the timer is stopped (the global stop flag stops it here).
bool may_call(RunState& run, const std::atomic<bool>& stop_flag) {
  if (stop_flag.load(std::memory_order_acquire)) run.request_stop();
  return run.begin_call();
}

}  // namespace

void timer_thread_loop(std::chrono::nanoseconds period, std::chrono::nanoseconds spin_window,
                       TimerRun& timer, const std::atomic<bool>& stop_flag,
                       TickCallback& callback) {
  rt::Instant next = rt::Clock::now() + period;
  for (;;) {
    if (!may_call(timer.run, stop_flag)) break;
    bool callable;
    {
      RunState::CallScope scope(timer.run);
      callable = callback.call();
    }
    if (callable) timer.tick_count.fetch_add(1, std::memory_order_acq_rel);
    if (!callable) timer.run.request_stop();
    timer.run.end_call();
    if (!callable) break;
    precision_sleep_until_sync(next, spin_window);
    // A call that overran is served at once; the grid points passed during it are skipped.
    next = rt::next_tick(next, rt::Clock::now(), period, period);
  }
  timer.run.finish();
}

rt::Task<void> timer_task_loop(std::chrono::nanoseconds period, std::shared_ptr<TimerRun> timer,
                               const std::atomic<bool>& stop_flag,
                               std::shared_ptr<TickCallback> callback) {
  rt::Interval interval(period);
  for (;;) {
    if (timer->run.stop_requested()) break;
    co_await interval.tick();
    if (!may_call(timer->run, stop_flag)) break;
    bool callable = true;
    try {
      auto job = rt::spawn_blocking([callback, timer] {
        RunState::CallScope scope(timer->run);
        return callback->call();
      });
      callable = co_await job.join();
    } catch (const std::exception&) {
      // A pool job that could not run (no thread for it) counts as a call, like a failed one.
    }
    if (callable) timer->tick_count.fetch_add(1, std::memory_order_acq_rel);
    if (!callable) timer->run.request_stop();
    timer->run.end_call();
    if (!callable) break;
  }
  timer->run.finish();
  try {
    rt::spawn_blocking([last = std::move(callback)]() mutable { last.reset(); });
  } catch (const std::exception&) {
    // No pool thread: the reference is dropped here after all.
  }
}

}  // namespace varnex
