#include "tasks/timer_engine.hpp"

#include <utility>

#include "tasks/timer_scheduler.hpp"
#include "tasks/timer_thread.hpp"

namespace varnex {

std::string timer_thread_name(std::uint64_t task_id, TimerPrecision precision) {
  return "timer-" + std::to_string(task_id) + "-" + display_name(precision);
}

Status start_task_engine(const std::shared_ptr<TimerRun>& timer, std::chrono::nanoseconds period,
                         std::shared_ptr<TickCallback> callback,
                         const std::atomic<bool>& stop_flag) {
  return normal_timer_scheduler().add(timer, period, std::move(callback), stop_flag);
}

Status start_thread_engine(const std::shared_ptr<TimerRun>& timer, std::uint64_t task_id,
                           TimerPrecision precision, std::chrono::nanoseconds period,
                           std::shared_ptr<TickCallback> callback,
                           const std::atomic<bool>& stop_flag) {
  auto body = [period, precision, timer, &stop_flag, callback = std::move(callback)]() mutable {
    timer_thread_loop(period, precision, *timer, stop_flag, *callback);
    callback.reset();
  };
  return start_timer_thread(timer_thread_name(task_id, precision), std::move(body),
                            "Failed to spawn timer thread");
}

Result<std::shared_ptr<TimerRun>> start_timer(std::uint64_t task_id, TimerPrecision precision,
                                              std::chrono::nanoseconds period,
                                              std::shared_ptr<TickCallback> callback,
                                              TaskManager& registry) {
  auto timer = std::make_shared<TimerRun>();
  // Registered first, so that a stop_all racing with the start either finds the entry or has
  // set the stop flag the loop reads before its first call.
  registry.register_task(task_id, std::shared_ptr<RunState>(timer, &timer->run), TaskKind::Timer);
  Status started =
      precision == TimerPrecision::Normal
          ? start_task_engine(timer, period, std::move(callback), registry.stop_flag())
          : start_thread_engine(timer, task_id, precision, period, std::move(callback),
                                registry.stop_flag());
  if (!started) {
    timer->run.request_stop();
    registry.unregister_task(task_id);
    return std::move(started).error();
  }
  return timer;
}

}  // namespace varnex
