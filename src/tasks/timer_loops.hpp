// The two timer engines' loops, driven by an abstract tick callback so that they run (and are
// tested) without Python.
//
//   thread engine  timer_thread_loop: the body of a dedicated thread. The grid starts at the
//                  thread's own start; the first call is immediate, then one call per grid
//                  point, waiting with precision_sleep_until_sync. A call that overruns makes
//                  the next call start at once (serving the late tick); grid points passed
//                  meanwhile are skipped, so the phase never drifts. No allocation per tick.
//   normal engine  timer_task_loop: a task on the shared runtime, ticking on an rt::Interval
//                  (first tick at once; <= 5 ms late keeps the grid, later skips passed
//                  points). Each call is handed to the blocking pool and awaited, so calls
//                  never overlap and no runtime worker ever runs the callback.
//
// Both loops look for a stop before waiting for a tick, and for the registry's stop flag
// right before each call, which they bracket with the run state's begin_call()/end_call(); a
// callback that can no longer run stops the timer. A call in progress is never interrupted.
// `tick_count` counts completed calls (a call that failed counts too), before the call's end is
// published. When a loop is over it marks the run finished.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "runtime/task.hpp"
#include "tasks/precision_sleep.hpp"
#include "tasks/run_state.hpp"

namespace varnex {

// One tick's work. call() must not throw: the callback reports its own failures. It returns
// false when it can never run again (the interpreter is shutting down); the loop then stops the
// timer and ends instead of ticking on while the process exits.
class TickCallback {
 public:
  virtual ~TickCallback() = default;
  virtual bool call() noexcept = 0;
};

// What a timer's handle and its loop share.
struct TimerRun {
  TimerRun() = default;
  explicit TimerRun(RunState::Kind kind) : run(kind) {}

  RunState run{RunState::Kind::Timer};
  std::atomic<std::uint64_t> tick_count{0};
  const rt::Instant start_time = rt::Clock::now();
};

void timer_thread_loop(std::chrono::nanoseconds period, std::chrono::nanoseconds spin_window,
                       TimerRun& timer, const std::atomic<bool>& stop_flag,
                       TickCallback& callback);

// When the loop ends it hands its reference to the callback to the blocking pool to be
// dropped there, so a callback whose release must wait for a lock (the GIL) never makes a
// runtime worker wait.
rt::Task<void> timer_task_loop(std::chrono::nanoseconds period, std::shared_ptr<TimerRun> timer,
                               const std::atomic<bool>& stop_flag,
                               std::shared_ptr<TickCallback> callback);

}  // namespace varnex
