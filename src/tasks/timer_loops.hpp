// The timer engines' loops, driven by an abstract tick callback so that they run (and are
// tested) without Python.
//
//   thread engine  timer_thread_loop: the body of a dedicated thread. The grid starts at the
//                  thread's own start; the first call is immediate, then one call per grid
//                  point, waiting with the thread's DeadlineWait (precision_sleep.hpp). A call
//                  that overruns makes the next call start at once (serving the late tick); grid
//                  points passed meanwhile are skipped, so the phase never drifts. No allocation
//                  per tick.
//   normal engine  the TimerScheduler (timer_scheduler.hpp): every normal timer of the process
//                  on the runtime's blocking pool, the ticks due together called in one batch.
//
// Both engines look for a stop before waiting for a tick, and for the registry's stop flag
// right before each call, which they bracket with the run state's begin_call()/end_call(); a
// callback that can no longer run stops the timer. A call in progress is never interrupted.
// `tick_count` counts completed calls (a call that failed counts too), before the call's end is
// published. When a timer's loop is over it marks the run finished.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/clock.hpp"
#include "tasks/precision_sleep.hpp"
#include "tasks/run_state.hpp"
#include "tasks/timer_period.hpp"

namespace varnex {

// A lock that the calls of many timers share (the GIL), so that a thread calling several of
// them in a row takes it once. Entered and left by the same thread.
class CallGate {
 public:
  virtual ~CallGate() = default;
  // False (nothing entered) once it can never be entered again (the interpreter is finalizing).
  virtual bool enter() noexcept = 0;
  virtual void leave() noexcept = 0;
};

// One tick's work. Its calls must not throw: the callback reports its own failures.
class TickCallback {
 public:
  virtual ~TickCallback() = default;

  // One call on its own. False when it can never run again (the interpreter is shutting down);
  // the loop then stops the timer and ends instead of ticking on while the process exits.
  // By default: enter gate(), call_entered(), leave, then report() what the call left.
  virtual bool call() noexcept;

  // The gate this callback's calls need, if any; callbacks that return the same gate may be
  // called one after the other under one entry of it.
  virtual CallGate* gate() noexcept { return nullptr; }
  // One call, with gate() entered by the calling thread. Returns what to report() once the gate
  // has been left (an error line), or nothing.
  virtual std::string call_entered() noexcept { return {}; }
  // Reports what call_entered() returned; with the gate not held.
  virtual void report(std::string text) noexcept { (void)text; }
};

// What a timer's handle and its loop share.
struct TimerRun {
  TimerRun() = default;
  explicit TimerRun(RunState::Kind kind) : run(kind) {}

  RunState run{RunState::Kind::Timer};
  std::atomic<std::uint64_t> tick_count{0};
  const rt::Instant start_time = rt::Clock::now();
};

// The thread engine with the fixed spin window of its mode.
void timer_thread_loop(std::chrono::nanoseconds period, std::chrono::nanoseconds spin_window,
                       TimerRun& timer, const std::atomic<bool>& stop_flag, TickCallback& callback);

// The thread engine of `precision` (High or Realtime): the mode's fixed window, or with the
// adaptive spin the AdaptiveSpinWait bounded by it, made on the calling thread.
void timer_thread_loop(std::chrono::nanoseconds period, TimerPrecision precision, TimerRun& timer,
                       const std::atomic<bool>& stop_flag, TickCallback& callback);

// The thread engine waiting with `wait`, whose clock is the grid's clock.
void timer_thread_loop(std::chrono::nanoseconds period, DeadlineWait& wait, TimerRun& timer,
                       const std::atomic<bool>& stop_flag, TickCallback& callback);

// Right before a call: false when the timer is stopped (the global stop flag stops it here).
bool may_call(RunState& run, const std::atomic<bool>& stop_flag) noexcept;

}  // namespace varnex
