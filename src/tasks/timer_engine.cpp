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
                           const std::atomic<bool>& stop_flag, const ThreadScheduling& scheduling) {
  auto body = [period, precision, timer, &stop_flag, callback = std::move(callback)]() mutable {
    timer_thread_loop(period, precision, *timer, stop_flag, *callback);
    callback.reset();
  };
  return start_timer_thread(timer_thread_name(task_id, precision), std::move(body),
                            "Failed to spawn timer thread", scheduling);
}

Result<TimerHandle> start_timer(TimerStart start, std::shared_ptr<TickCallback> callback,
                                TaskManager& registry) {
  if (start.precision == TimerPrecision::Normal && !start.scheduling.empty()) {
    return Error::value("priority and cpu need a timer thread of its own: use precision_timer");
  }
  auto timer = std::make_shared<TimerRun>();
  // Registered first, so that a stop_all racing with the start either finds the entry or has
  // set the stop flag the loop reads before its first call.
  registry.register_task(start.task_id, std::shared_ptr<RunState>(timer, &timer->run),
                         TaskKind::Timer);
  // From here, dropping the handle undoes the registration.
  TimerHandle handle(timer, start.task_id, start.frequency_hz, start.precision, registry,
                     std::move(start.errors));
  Status started =
      start.precision == TimerPrecision::Normal
          ? start_task_engine(timer, start.period, std::move(callback), registry.stop_flag())
          : start_thread_engine(timer, start.task_id, start.precision, start.period,
                                std::move(callback), registry.stop_flag(), start.scheduling);
  if (!started) return std::move(started).error();
  return handle;
}

}  // namespace varnex
