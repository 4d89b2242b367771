// Starting a timer: its engine's loop, and its registry entry. The handle, the loop and the
// entry share one TimerRun; nothing ever cancels or joins a timer's loop (the loop task and the
// timer thread are detached), they only stop it and wait for its run to end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.hpp"
#include "tasks/task_manager.hpp"
#include "tasks/timer_handle.hpp"
#include "tasks/timer_loops.hpp"
#include "tasks/timer_period.hpp"
#include "tasks/timer_thread.hpp"

namespace varnex {

// "timer-<id>-High" / "timer-<id>-Realtime" (the OS shows the first 15 bytes).
std::string timer_thread_name(std::uint64_t task_id, TimerPrecision precision);

// Hands the timer to the normal timers' scheduler (timer_scheduler.hpp) on the shared runtime.
// Never waits, so any thread may start a timer. A runtime that cannot be built, or a pool that
// gets no thread, is a Fatal error.
Status start_task_engine(const std::shared_ptr<TimerRun>& timer, std::chrono::nanoseconds period,
                         std::shared_ptr<TickCallback> callback,
                         const std::atomic<bool>& stop_flag);

// Starts the timer thread (High or Realtime) running timer_thread_loop with the mode's spin
// window, fixed or adaptive, placed by `scheduling` (timer_thread.hpp). The thread drops the
// callback when its loop ends, on itself. A refused thread is a Fatal error "Failed to spawn
// timer thread: ..."; a refused placement is its PermissionError or ValueError; the callback is
// then dropped on the calling thread and no call has been made.
Status start_thread_engine(const std::shared_ptr<TimerRun>& timer, std::uint64_t task_id,
                           TimerPrecision precision, std::chrono::nanoseconds period,
                           std::shared_ptr<TickCallback> callback,
                           const std::atomic<bool>& stop_flag,
                           const ThreadScheduling& scheduling = {});

// What a timer is started with, besides its callback.
struct TimerStart {
  std::uint64_t task_id;
  double frequency_hz;  // as given, for the handle
  TimerPrecision precision;
  std::chrono::nanoseconds period;  // period_from_frequency(frequency_hz)
  ThreadScheduling scheduling;      // thread engines only; Normal refuses a non-empty one
  std::shared_ptr<TimerErrors> errors;
};

// Starts a timer calling `callback` every period and registers it with `registry` under its
// task id, as a Timer whose loop reads the registry's stop flag. The handle comes back not yet
// adopted (timer_handle.hpp). On failure nothing runs and nothing stays registered.
Result<TimerHandle> start_timer(TimerStart start, std::shared_ptr<TickCallback> callback,
                                TaskManager& registry = task_manager());

}  // namespace varnex
