#include "tasks/background_call.hpp"

#include <exception>
#include <utility>

#include "runtime/runtime.hpp"
#include "tasks/task_id.hpp"

namespace varnex {

namespace {

// Runs the call on the blocking pool and awaits it. A failure to run it at all (the OS refuses
// a thread) becomes the call's error, so the handle still sees the body end.
rt::Task<CallOutcome> run_on_blocking_pool(std::shared_ptr<ForeignCall> call) {
  std::string failure;
  try {
    auto job = rt::spawn_blocking([call] { return std::make_shared<CallOutcome>(call->invoke()); });
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

rt::Task<void> run_body(SharedFlag cancelled, RunningFlag running, SharedFlag completed,
                        std::shared_ptr<ForeignCall> call, ResultSlot result, ErrorSlot error) {
  // Checked once, before the call asks for the language's lock: a cancel() or stop_all that
  // came first skips it.
  if (!cancelled->load(std::memory_order_acquire) && running->load(std::memory_order_acquire)) {
    CallOutcome outcome = co_await run_on_blocking_pool(call);
    if (auto* value = std::get_if<0>(&outcome)) {
      co_await store(result->mutex(), result->value_unsafe(), std::move(*value));
    } else {
      co_await store(error->mutex(), error->value_unsafe(),
                     std::optional<std::string>(std::move(std::get<1>(outcome))));
    }
  }
  completed->store(true, std::memory_order_release);
  running->store(false, std::memory_order_release);
}

}  // namespace

BackgroundCall start_background_call(std::unique_ptr<ForeignCall> call, TaskManager& registry) {
  BackgroundCall handle;
  handle.task_id = next_task_id();
  handle.completed = std::make_shared<std::atomic<bool>>(false);
  handle.cancelled = std::make_shared<std::atomic<bool>>(false);
  handle.result = std::make_shared<rt::AsyncMutexed<ForeignValue>>();
  handle.error = std::make_shared<rt::AsyncMutexed<std::optional<std::string>>>();
  auto running = std::make_shared<std::atomic<bool>>(true);

  rt::JoinHandle<void> body =
      rt::spawn(run_body(handle.cancelled, running, handle.completed,
                         std::shared_ptr<ForeignCall>(std::move(call)), handle.result, handle.error));
  handle.task_slot =
      std::make_shared<rt::AsyncMutexed<std::optional<rt::JoinHandle<void>>>>(std::move(body));
  registry.register_task(handle.task_id, std::move(running), handle.task_slot, TaskKind::AsyncTask);
  return handle;
}

}  // namespace varnex
