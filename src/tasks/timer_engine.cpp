#include "tasks/timer_engine.hpp"

#include <utility>

#include "runtime/fatal.hpp"
#include "runtime/runtime.hpp"

namespace varnex {

TimerRunState TimerRunState::create() {
  return TimerRunState{
      std::make_shared<std::atomic<bool>>(true),
      std::make_shared<std::atomic<std::uint64_t>>(0),
      std::make_shared<TaskJoinSlot>(),
      std::make_shared<ThreadJoinSlot>(),
      TimerClock::now(),
  };
}

std::string timer_thread_name(std::uint64_t task_id, TimerPrecision precision) {
  return "timer-" + std::to_string(task_id) + "-" + display_name(precision);
}

Status start_task_engine(const TimerRunState& state, std::chrono::nanoseconds period,
                         std::shared_ptr<TickCallback> callback,
                         const std::atomic<bool>& stop_flag) {
  rt::JoinHandle<void> handle;
  try {
    handle = rt::spawn(
        timer_task_loop(period, state.running, state.tick_count, stop_flag, std::move(callback)));
  } catch (const rt::FatalError& e) {
    return Error::fatal(e.what());
  }
  auto guard = state.task_slot->mutex().try_lock();
  if (!guard) {
    state.running->store(false, std::memory_order_release);
    return Error::fatal("the timer's task slot was taken before its loop could be stored");
  }
  state.task_slot->value_unsafe() = std::move(handle);
  return {};
}

Status start_thread_engine(const TimerRunState& state, std::uint64_t task_id,
                           TimerPrecision precision, std::chrono::nanoseconds period,
                           std::shared_ptr<TickCallback> callback,
                           const std::atomic<bool>& stop_flag) {
  const std::chrono::nanoseconds window = spin_window(precision);
  auto body = [period, window, running = state.running, ticks = state.tick_count, &stop_flag,
               callback = std::move(callback)]() mutable {
    timer_thread_loop(period, window, *running, *ticks, stop_flag, *callback);
    callback.reset();
  };
  auto thread = JoinableThread::start(timer_thread_name(task_id, precision), std::move(body),
                                      "Failed to spawn timer thread");
  if (!thread) return std::move(thread).error();
  std::lock_guard lock(state.thread_slot->mutex);
  state.thread_slot->thread = std::move(thread).value();
  return {};
}

}  // namespace varnex
