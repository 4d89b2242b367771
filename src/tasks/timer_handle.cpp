#include "tasks/timer_handle.hpp"

#include <chrono>
#include <utility>

#include "common/diagnostics.hpp"
#include "tasks/timer_format.hpp"

namespace varnex {

TimerHandle::TimerHandle(std::shared_ptr<TimerRun> timer, std::uint64_t task_id, double frequency,
                         TimerPrecision precision, TaskManager& registry,
                         std::shared_ptr<TimerErrors> errors, const char* origin)
    : timer_(std::move(timer)),
      task_id_(task_id),
      frequency_(frequency),
      precision_(precision),
      registry_(&registry),
      errors_(std::move(errors)),
      origin_(origin) {}

TimerHandle::TimerHandle(TimerHandle&& other) noexcept
    : timer_(std::move(other.timer_)),
      task_id_(other.task_id_),
      frequency_(other.frequency_),
      precision_(other.precision_),
      registry_(other.registry_),
      errors_(std::move(other.errors_)),
      origin_(other.origin_),
      adopted_(other.adopted_) {}

TimerHandle::~TimerHandle() {
  if (!timer_) return;
  if (!adopted_) {
    timer_->run.request_stop();
    registry_->unregister_task(task_id_);
    return;
  }
  if (is_running()) {
    write_stderr("Warning: TimerHandle(id=" + std::to_string(task_id_) +
                 ") dropped while still running. Make sure to save the handle returned by " +
                 origin_ + ".\n");
  }
  timer_->run.request_stop();
  registry_->release_task(task_id_);
}

double TimerHandle::elapsed_secs() const noexcept {
  const auto elapsed = rt::Clock::now() - timer_->start_time;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
  return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

double TimerHandle::actual_frequency() const noexcept {
  const double elapsed = elapsed_secs();
  if (!(elapsed > 0.0)) return 0.0;
  return static_cast<double>(tick_count()) / elapsed;
}

std::string TimerHandle::repr() const {
  return "TimerHandle(id=" + std::to_string(task_id_) + ", freq=" + format_one_decimal(frequency_) +
         "Hz, actual=" + format_one_decimal(actual_frequency()) + "Hz, mode=" +
         lower_name(precision_) + ", ticks=" + std::to_string(tick_count()) +
         ", running=" + (is_running() ? "true" : "false") + ")";
}

}  // namespace varnex
