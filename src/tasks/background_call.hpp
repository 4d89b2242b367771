// Background calls: one function call of the embedding language, run once in the background,
// with the run state its handle reads.
//
// The run state is a set of separately shared items, each held by the parties that need it:
//
//   completed  handle, task body        the body has ended (the call returned, failed or was
//                                       skipped); set once, never cleared
//   cancelled  handle, task body        cancel() was called; only a call not yet started is
//                                       skipped because of it
//   running    task body, registry      the registry's running flag; cleared by the body at its
//                                       end or by stop_all, whichever comes first
//   result     handle, task body        the value the call returned
//   error      handle, task body        the text of the error the call raised
//   exception  handle, task body        the error object itself, when the language gave one
//   skipped    handle, task body        the body ended without making the call
//   done       handle, task body        what to run once the body has ended
//   task_slot  handle, registry         the body's join handle; nobody awaits it, and dropping
//                                       it detaches the body
//
// At most one of result and error is ever filled, and it is filled before completed is set.
//
// The task body runs on the runtime, but the call itself runs on the blocking pool: a slow
// call must not occupy a worker, or as many slow calls as there are CPUs would stall every
// other task (CAN I/O, timers). The body only checks the flags, awaits the call and stores its
// outcome, so it holds a slot lock just for the moment of storing and never while the call's
// language lock is wanted.
//
// Result: the value travels type-erased (ForeignValue) so that this core needs no Python; its
// deleter decides how to release it on whatever thread drops the last holder.
// Cancellation: nothing interrupts a call once it has started; cancel() and stop_all prevent
// only a call that has not started. The body is never aborted.
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

#include "runtime/async_mutex.hpp"
#include "runtime/join_handle.hpp"
#include "tasks/task_registry.hpp"

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

// Functions run once after a call's body has ended. Each runs exactly once: on the thread that
// adds it if the body has already ended (add() then returns false and keeps nothing), else on
// the thread the body hands them to. take_all() takes the list out under the lock; they run
// without the lock, so a function may add further ones or look at the call freely.
class DoneCallbacks {
 public:
  using Fn = std::function<void()>;
  // False when the body has already ended: the caller runs `fn` itself.
  bool add(Fn fn);
  // Marks the body ended and takes what was added so far; later add() calls return false.
  std::vector<Fn> take_all();
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  bool ended_ = false;
  std::vector<Fn> fns_;
};

// One call, supplied by the language binding. invoke() runs once, on a blocking-pool thread;
// it takes and releases whatever lock the language needs. The destructor may run on any thread
// (a runtime worker included) and must not wait for that lock.
class ForeignCall {
 public:
  virtual ~ForeignCall() = default;
  virtual CallOutcome invoke() = 0;
};

using SharedFlag = std::shared_ptr<std::atomic<bool>>;
using ResultSlot = std::shared_ptr<rt::AsyncMutexed<ForeignValue>>;
using ErrorSlot = std::shared_ptr<rt::AsyncMutexed<std::optional<std::string>>>;
using CallTaskSlot = std::shared_ptr<rt::AsyncMutexed<std::optional<rt::JoinHandle<void>>>>;

// The handle's share of a started call.
struct BackgroundCall {
  std::uint64_t task_id = 0;
  SharedFlag completed;
  SharedFlag cancelled;
  ResultSlot result;
  ErrorSlot error;
  CallTaskSlot task_slot;
  ResultSlot exception;
  SharedFlag skipped;
  std::shared_ptr<DoneCallbacks> done;

  bool is_completed() const { return completed->load(std::memory_order_acquire); }
  bool is_cancelled() const { return cancelled->load(std::memory_order_acquire); }
  void cancel() const { cancelled->store(true, std::memory_order_release); }
};

// The task body's share of a call.
struct CallRunState {
  SharedFlag completed;
  SharedFlag cancelled;
  RunningFlag running;
  ResultSlot result;
  ErrorSlot error;
  // Optional: a null one is not filled (set, run).
  ResultSlot exception = {};
  SharedFlag skipped = {};
  std::shared_ptr<DoneCallbacks> done = {};
};

// The task body, run once on the runtime: unless `cancelled` is set or `running` is clear (a
// stop_all came first), checked once before anything else, it runs call->invoke() on the
// blocking pool, awaits it and stores the value in `result` or the text in `error` (and the error
// object in `exception`); a skipped call sets `skipped`. Then it sets `completed`, clears
// `running` and drops `call`; last, the `done` functions run on the blocking pool (they may
// want the language's lock, which a runtime worker must never wait for).
// start_background_call spawns it.
rt::Task<void> run_call_body(CallRunState state, std::shared_ptr<ForeignCall> call);

// Starts `call` in the background under a new task id: takes the id, creates the run state
// (running set), spawns the task body on the runtime, puts its join handle into a new task slot
// and registers the id with `registry` as an AsyncTask. The body is started before it is
// registered, so a call that ends very quickly may count as stopped from the start.
// Throws rt::FatalError when the runtime cannot be created.
BackgroundCall start_background_call(std::unique_ptr<ForeignCall> call,
                                     TaskManager& registry = task_manager());

}  // namespace varnex
