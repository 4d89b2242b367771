#include "tasks/timer_loops.hpp"

#include <utility>

#include "runtime/clock.hpp"

namespace varnex {

bool TickCallback::call() noexcept {
  CallGate* g = gate();
  if (g != nullptr && !g->enter()) return false;
  std::string text = call_entered();
  if (g != nullptr) g->leave();
  if (!text.empty()) report(std::move(text));
  return true;
}

bool may_call(RunState& run, const std::atomic<bool>& stop_flag) noexcept {
  if (stop_flag.load(std::memory_order_acquire)) run.request_stop();
  return run.begin_call();
}

void timer_thread_loop(std::chrono::nanoseconds period, std::chrono::nanoseconds spin_window,
                       TimerRun& timer, const std::atomic<bool>& stop_flag,
                       TickCallback& callback) {
  FixedSpinWait wait(spin_window);
  timer_thread_loop(period, wait, timer, stop_flag, callback);
}

void timer_thread_loop(std::chrono::nanoseconds period, TimerPrecision precision, TimerRun& timer,
                       const std::atomic<bool>& stop_flag, TickCallback& callback) {
  if (adaptive_spin(precision)) {
    AdaptiveSpinWait wait(spin_window(precision));
    timer_thread_loop(period, wait, timer, stop_flag, callback);
  } else {
    timer_thread_loop(period, spin_window(precision), timer, stop_flag, callback);
  }
}

void timer_thread_loop(std::chrono::nanoseconds period, DeadlineWait& wait, TimerRun& timer,
                       const std::atomic<bool>& stop_flag, TickCallback& callback) {
  rt::Instant next = wait.now() + period;
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
    wait.until(next);
    // A call that overran is served at once; the grid points passed during it are skipped.
    next = rt::next_tick(next, wait.now(), period, rt::MissedTicks::kept_within_a_period());
  }
  timer.run.finish();
}

}  // namespace varnex
