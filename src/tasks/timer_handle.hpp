// The handle of a started timer or motor broadcast as its user holds it: the run it shares with
// the loop and the registry entry, its statistics, and what becomes of both when it goes.
//
// Lifecycle:
//   started  what a start returns, not yet adopted. Dropping it now is the rollback of a start
//            that failed after the registration (the user never got the handle): the run is
//            stopped and its entry removed, silently.
//   adopted  adopt(): the user holds it. Dropping it stops the run, printing
//              "Warning: TimerHandle(id=<id>) dropped while still running. Make sure to save the
//               handle returned by <origin>."
//            when it was still running, and releases its entry, which leaves the registry once
//            the run has ended (so a stop_all's wait still sees a call in progress).
// A moved-from handle controls nothing; dropping it does nothing.
//
// Every method may be called from any thread; the statistics are lock-free snapshots.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "runtime/repeat_limiter.hpp"
#include "tasks/task_manager.hpp"
#include "tasks/timer_loops.hpp"
#include "tasks/timer_period.hpp"

namespace varnex {

// A timer's raising calls, shared by its tick callback and its handle: how many, the last error
// line's text after "Timer function error: " without its line feed, and their reporting.
//
// Each raising call is reported as the line "Timer function error: <text>" at level Error with
// the timer's details (task_id, and timer: the callback's name). The same text within a second
// of its last printed line is counted instead, and summarised by the next one printed
// ("... (N similar messages suppressed)"), by flush() on a later tick, or by finish() when the
// loop ends (RepeatLimiter). The first occurrence of a text carries the call's traceback (for
// the first kTracedTexts distinct texts of the timer; later ones go without).
class TimerErrors {
 public:
  static constexpr std::size_t kTracedTexts = 16;
  static constexpr std::string_view kPrefix = "Timer function error: ";

  TimerErrors() = default;
  TimerErrors(std::uint64_t task_id, std::string timer_name);

  // Whether a call that failed with `text` should come with its traceback (it is the first
  // with that text): so that the traceback is formatted only when it will be printed.
  bool wants_traceback(const std::string& text) const;
  // Counts the error and reports it (see above); `traceback` is used only with a first text.
  void report(std::string text, std::string traceback = {});
  // Summarises repeats whose second has passed; cheap while no call has failed.
  void flush();
  // The loop is over: summarises every repeat still counted.
  void finish();

  std::uint64_t count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::optional<std::string> last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  mutable std::mutex mutex_;  // a leaf lock: nothing is called while it is held
  std::uint64_t count_ = 0;
  std::optional<std::string> last_;
  std::unordered_set<std::string> traced_;
  std::atomic<bool> failed_{false};
  DiagnosticFields fields_;
  RepeatLimiter limiter_;
};

class TimerHandle {
 public:
  // The origin names what returned the handle, in the dropped-handle warning.
  static constexpr const char* kTimerOrigin = "timer-decorated functions";

  TimerHandle(std::shared_ptr<TimerRun> timer, std::uint64_t task_id, double frequency,
              TimerPrecision precision, TaskManager& registry,
              std::shared_ptr<TimerErrors> errors = {}, const char* origin = kTimerOrigin);
  TimerHandle(TimerHandle&& other) noexcept;
  TimerHandle(const TimerHandle&) = delete;
  TimerHandle& operator=(const TimerHandle&) = delete;
  TimerHandle& operator=(TimerHandle&&) = delete;
  ~TimerHandle();

  // The user holds the handle from now on (see above).
  void adopt() noexcept { adopted_ = true; }

  // Returns at once; the loop ends at its next check (a call in progress finishes).
  void stop() const noexcept { timer_->run.request_stop(); }
  bool is_running() const noexcept { return !timer_->run.stop_requested(); }
  std::uint64_t tick_count() const noexcept {
    return timer_->tick_count.load(std::memory_order_acquire);
  }
  double frequency() const noexcept { return frequency_; }
  TimerPrecision precision() const noexcept { return precision_; }
  std::uint64_t task_id() const noexcept { return task_id_; }
  std::uint64_t error_count() const { return errors_ ? errors_->count() : 0; }
  std::optional<std::string> last_error() const { return errors_ ? errors_->last() : std::nullopt; }

  // Seconds since the start (whole seconds plus nanoseconds / 1e9); grows after the stop too.
  double elapsed_secs() const noexcept;
  // Ticks per elapsed second, a lifetime average (it falls after the stop); 0.0 right at start.
  double actual_frequency() const noexcept;

  // "TimerHandle(id=3, freq=100.0Hz, actual=99.8Hz, mode=high, ticks=499, running=true)"
  std::string repr() const;

  const TimerRun& run() const noexcept { return *timer_; }
  const std::shared_ptr<TimerRun>& shared_run() const noexcept { return timer_; }

 private:
  std::shared_ptr<TimerRun> timer_;  // null once moved from
  std::uint64_t task_id_;
  double frequency_;
  TimerPrecision precision_;
  TaskManager* registry_;
  std::shared_ptr<TimerErrors> errors_;
  const char* origin_;
  bool adopted_ = false;
};

}  // namespace varnex
