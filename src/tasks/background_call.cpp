#include "tasks/background_call.hpp"

#include <exception>
#include <utility>

#include "runtime/runtime.hpp"
#include "tasks/task_id.hpp"

namespace varnex {

namespace {

// Runs the call on the blocking pool and awaits it. A failure to run it at all (the OS refuses
// a thread) becomes the call's error, so the handle still sees the body end.
rt::Task<CallOutcome> run_on_blocking_pool(const std::shared_ptr<ForeignCall>& call) {
  std::string failure;
  try {
    // The body holds `call` until the job is done, so the job borrows it: the body stays the
    // last holder and drops it at its end, on a known thread.
    auto job = rt::spawn_blocking(
        [raw = call.get()] { return std::make_shared<CallOutcome>(raw->invoke()); });
    std::shared_ptr<CallOutcome> outcome = co_await job.join();
    co_return std::move(*outcome);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  co_return CallOutcome(std::in_place_index<1>, std::move(failure));
}

rt::Task<void> store(rt::AsyncMutex& mutex, auto& slot, auto value) {
  auto op = mutex.lock_op();
  rt::AsyncMutexGuard guard = co_await rt::wait(op);
  slot = std::move(value);
}

}  // namespace

bool DoneCallbacks::add(Fn fn) {
  std::lock_guard lock(mutex_);
  if (ended_) return false;
  fns_.push_back(std::move(fn));
  return true;
}

std::vector<DoneCallbacks::Fn> DoneCallbacks::take_all() {
  std::lock_guard lock(mutex_);
  ended_ = true;
  return std::exchange(fns_, {});
}

bool DoneCallbacks::empty() const {
  std::lock_guard lock(mutex_);
  return fns_.empty();
}

rt::Task<void> run_call_body(CallRunState state, std::shared_ptr<ForeignCall> call) {
  // Checked once, before the call asks for the language's lock: a cancel() or stop_all that
  // came first skips it.
  if (!state.cancelled->load(std::memory_order_acquire) &&
      state.running->load(std::memory_order_acquire)) {
    CallOutcome outcome = co_await run_on_blocking_pool(call);
    if (auto* value = std::get_if<0>(&outcome)) {
      co_await store(state.result->mutex(), state.result->value_unsafe(), std::move(*value));
    } else {
      CallError& error = std::get<1>(outcome);
      // The object first: whoever sees the text may look for it.
      if (state.exception) {
        co_await store(state.exception->mutex(), state.exception->value_unsafe(),
                       std::move(error.exception));
      }
      co_await store(state.error->mutex(), state.error->value_unsafe(),
                     std::optional<std::string>(std::move(error.text)));
    }
  } else if (state.skipped) {
    state.skipped->store(true, std::memory_order_release);
  }
  state.completed->store(true, std::memory_order_release);
  state.running->store(false, std::memory_order_release);
  call.reset();
  if (state.done) {
    std::vector<DoneCallbacks::Fn> fns = state.done->take_all();
    if (!fns.empty()) {
      try {
        // Nobody awaits the job; dropping its handle leaves it to run.
        (void)rt::spawn_blocking([fns = std::move(fns)] {
          for (const auto& fn : fns) fn();
        });
      } catch (const std::exception&) {
        // No thread for them: the process is out of resources or exiting. They are dropped
        // unrun rather than run on a worker, where they could wait for the language's lock.
      }
    }
  }
}

BackgroundCall start_background_call(std::unique_ptr<ForeignCall> call, TaskManager& registry) {
  BackgroundCall handle;
  handle.task_id = next_task_id();
  handle.completed = std::make_shared<std::atomic<bool>>(false);
  handle.cancelled = std::make_shared<std::atomic<bool>>(false);
  handle.result = std::make_shared<rt::AsyncMutexed<ForeignValue>>();
  handle.error = std::make_shared<rt::AsyncMutexed<std::optional<std::string>>>();
  handle.exception = std::make_shared<rt::AsyncMutexed<ForeignValue>>();
  handle.skipped = std::make_shared<std::atomic<bool>>(false);
  handle.done = std::make_shared<DoneCallbacks>();
  auto running = std::make_shared<std::atomic<bool>>(true);

  rt::JoinHandle<void> body = rt::spawn(run_call_body(
      CallRunState{handle.completed, handle.cancelled, running, handle.result, handle.error,
                   handle.exception, handle.skipped, handle.done},
      std::shared_ptr<ForeignCall>(std::move(call))));
  handle.task_slot =
      std::make_shared<rt::AsyncMutexed<std::optional<rt::JoinHandle<void>>>>(std::move(body));
  registry.register_task(handle.task_id, std::move(running), handle.task_slot, TaskKind::AsyncTask);
  return handle;
}

}  // namespace varnex
