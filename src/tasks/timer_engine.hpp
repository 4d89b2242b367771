// Starting a timer's engine, and the run state that its handle, its loop and its registry entry
// share. Each part of the run state is its own shared object and lives as long as its last
// holder:
//   running      handle, loop, registry entry   cleared by whoever stops the timer
//   tick_count   handle, loop                   completed calls
//   task_slot    handle, registry entry         normal engine: the loop task's join handle
//   thread_slot  handle                         thread engine: the timer thread's join handle
// Dropping the join handles detaches; nothing ever cancels or joins a timer's loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/join_handle.hpp"
#include "tasks/joinable_thread.hpp"
#include "tasks/precision_sleep.hpp"
#include "tasks/task_registry.hpp"
#include "tasks/timer_loops.hpp"
#include "tasks/timer_period.hpp"

namespace varnex {

using TaskJoinSlot = rt::AsyncMutexed<std::optional<rt::JoinHandle<void>>>;

struct ThreadJoinSlot {
  std::mutex mutex;
  std::optional<JoinableThread> thread;
};

struct TimerRunState {
  RunningFlag running;
  TickCount tick_count;
  std::shared_ptr<TaskJoinSlot> task_slot;
  std::shared_ptr<ThreadJoinSlot> thread_slot;
  TimerInstant start_time;

  // running set, no ticks, both slots empty, start_time = now.
  static TimerRunState create();
};

// "timer-<id>-High" / "timer-<id>-Realtime" (the OS shows the first 15 bytes).
std::string timer_thread_name(std::uint64_t task_id, TimerPrecision precision);

// Spawns timer_task_loop on the shared runtime and stores its join handle in task_slot.
// Never blocks: the slot was created with the run state and nobody else holds it yet, so
// try_lock always gets it; this also makes it safe on a thread that drives runtime tasks,
// where a blocking lock is not allowed. Should the slot ever be held, `running` is cleared
// (the loop ends at its first check) and an error returned: no timer is left that nothing can
// stop. A runtime that cannot be built is a Fatal error.
Status start_task_engine(const TimerRunState& state, std::chrono::nanoseconds period,
                         std::shared_ptr<TickCallback> callback,
                         const std::atomic<bool>& stop_flag);

// Starts the timer thread (High or Realtime) running timer_thread_loop with the mode's spin
// window and stores its join handle in thread_slot. The thread drops the callback when its
// loop ends, on itself. A refused thread is a Fatal error "Failed to spawn timer thread: ...";
// the callback is then dropped on the calling thread.
Status start_thread_engine(const TimerRunState& state, std::uint64_t task_id,
                           TimerPrecision precision, std::chrono::nanoseconds period,
                           std::shared_ptr<TickCallback> callback,
                           const std::atomic<bool>& stop_flag);

}  // namespace varnex
