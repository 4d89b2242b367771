// Background calls: one function call of the embedding language, run once on the blocking pool,
// and the one shared state its handle, its job and its registry entry read.
//
// The job runs on a blocking-pool thread, not on a runtime worker: a slow call must not occupy
// a worker, or as many slow calls as there are CPUs would stall every other task (CAN I/O,
// timers). It checks once whether the call was cancelled or stopped before it began (then the
// call is skipped), makes the call, stores its outcome, marks the run ended (which wakes every
// waiter) and runs the done functions, all on that thread.
//
// The outcome is written once, before the run is marked ended, and never again, so readers
// look at it without a lock once is_completed() is true.
// Cancellation: nothing interrupts a call once it has begun; cancel() and stop_all prevent only
// a call that has not begun.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/lock_order.hpp"
#include "runtime/completion.hpp"
#include "tasks/run_state.hpp"
#include "tasks/task_manager.hpp"

namespace varnex {

// Releases a foreign value; must be safe on any thread, including while the process exits.
struct ForeignValueDeleter {
  void (*release)(void*) = nullptr;
  void operator()(void* value) const noexcept {
    if (release != nullptr) release(value);
  }
};
// An owned value of the embedding language; null means "nothing".
using ForeignValue = std::unique_ptr<void, ForeignValueDeleter>;

// The error a call raised: its text, and the error object itself when there is one.
struct CallError {
  CallError(std::string t, ForeignValue e = {}) : text(std::move(t)), exception(std::move(e)) {}
  std::string text;
  ForeignValue exception;
};

// What a call produced: its value, or the error it raised.
using CallOutcome = std::variant<ForeignValue, CallError>;

// Functions run once after a call has ended. Each runs exactly once: on the thread that adds
// it if the call has already ended (add() then returns false and keeps nothing), else on the
// call's own thread right after it ends. take_all() takes the list out under the lock; they run
// without the lock, so a function may add further ones or look at the call freely.
class DoneCallbacks {
 public:
  using Fn = std::function<void()>;
  // False when the call has already ended: the caller runs `fn` itself.
  bool add(Fn fn);
  // Marks the call ended and takes what was added so far; later add() calls return false.
  std::vector<Fn> take_all();

 private:
  RankedMutex<LockRank::CallCallbacks> mutex_;
  bool ended_ = false;
  std::vector<Fn> fns_;
};

// One call, supplied by the language binding. invoke() runs once, on a blocking-pool thread;
// it takes and releases whatever lock the language needs. The destructor may run on any thread
// and must not wait for that lock.
class ForeignCall {
 public:
  virtual ~ForeignCall() = default;
  virtual CallOutcome invoke() = 0;
};

class BackgroundCall {
 public:
  explicit BackgroundCall(std::uint64_t task_id) : task_id_(task_id) {}
  BackgroundCall(const BackgroundCall&) = delete;
  BackgroundCall& operator=(const BackgroundCall&) = delete;

  std::uint64_t task_id() const noexcept { return task_id_; }
  // Shared with the registry entry, which must not keep the outcome alive.
  const std::shared_ptr<RunState>& run() const noexcept { return run_; }

  // A call not yet begun will be skipped; one in progress runs on. Wakes waiters on settled().
  void cancel() noexcept;
  bool is_cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

  // The call returned, raised or was skipped.
  bool is_completed() const noexcept { return run_->ended(); }
  const rt::Completion& completed() const noexcept { return run_->ended_event(); }
  // Completed or cancelled, whichever came first. A call inherited from a parent process has
  // ended here (its job runs in the parent): it reads as completed, without an outcome unless it
  // had one at the fork.
  const rt::Completion& settled() const noexcept {
    return run_->inherited() ? run_->ended_event() : settled_;
  }

  // Only once is_completed(): how it ended. value() is null unless the call returned (the value
  // it points to is itself null for "nothing"); error() is null unless it raised.
  bool skipped() const noexcept { return is_completed() && !outcome_; }
  const ForeignValue* value() const noexcept;
  const CallError* error() const noexcept;

  DoneCallbacks& done_callbacks() noexcept { return done_; }

  // The job: runs `call` unless cancelled or stopped first, stores the outcome, ends the run,
  // runs the done functions. Once.
  void run_job(ForeignCall& call);
  // Ends the run with `text` as the call's error, without calling it (no thread to run it on).
  void fail(std::string text) noexcept;

 private:
  void end() noexcept;

  const std::uint64_t task_id_;
  const std::shared_ptr<RunState> run_ = std::make_shared<RunState>(RunState::Kind::Call);
  std::atomic<bool> cancelled_{false};
  rt::Completion settled_;
  std::optional<CallOutcome> outcome_;
  DoneCallbacks done_;
};

// Starts `call` in the background under a new task id: registers it with `registry` as an
// AsyncTask, then hands the job to the blocking pool. A pool that cannot start a thread makes
// the call fail with that error. Throws rt::FatalError when the runtime cannot be created
// (nothing is registered then).
std::shared_ptr<BackgroundCall> start_background_call(std::unique_ptr<ForeignCall> call,
                                                      TaskManager& registry = task_manager());

}  // namespace varnex
