#include "tasks/timer_handle.hpp"

#include <chrono>
#include <utility>

#include "runtime/diagnostics.hpp"
#include "tasks/timer_format.hpp"

namespace varnex {

TimerErrors::TimerErrors(std::uint64_t task_id, std::string timer_name)
    : fields_{{"task_id", task_id}, {"timer", std::move(timer_name)}} {}

bool TimerErrors::wants_traceback(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return traced_.size() < kTracedTexts && !traced_.contains(text);
}

void TimerErrors::report(std::string text, std::string traceback) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    ++count_;
    last_ = text;
    if (traced_.size() < kTracedTexts) first = traced_.insert(text).second;
  }
  failed_.store(true, std::memory_order_release);
  limiter_.report(std::string(kPrefix) + text, DiagnosticLevel::Error, fields_,
                  first ? std::move(traceback) : std::string());
}

void TimerErrors::flush() {
  if (failed_.load(std::memory_order_acquire)) limiter_.flush();
}

void TimerErrors::finish() {
  if (failed_.load(std::memory_order_acquire)) limiter_.flush_all();
}

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
    write_stderr(DiagnosticLevel::Warning,
                 "Warning: TimerHandle(id=" + std::to_string(task_id_) +
                     ") dropped while still running. Make sure to save the handle returned by " +
                     origin_ + ".\n",
                 {{"task_id", task_id_}});
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
         "Hz, actual=" + format_one_decimal(actual_frequency()) +
         "Hz, mode=" + lower_name(precision_) + ", ticks=" + std::to_string(tick_count()) +
         ", running=" + (is_running() ? "true" : "false") + ")";
}

}  // namespace varnex
