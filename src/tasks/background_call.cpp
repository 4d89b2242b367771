#include "tasks/background_call.hpp"

#include <exception>
#include <utility>

#include "runtime/runtime.hpp"
#include "tasks/task_id.hpp"

namespace varnex {

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

void BackgroundCall::cancel() noexcept {
  cancelled_.store(true, std::memory_order_release);
  if (run_->inherited()) return;  // ended here already (see settled())
  settled_.set();
}

const ForeignValue* BackgroundCall::value() const noexcept {
  if (!is_completed() || !outcome_) return nullptr;
  return std::get_if<0>(&*outcome_);
}

const CallError* BackgroundCall::error() const noexcept {
  if (!is_completed() || !outcome_) return nullptr;
  return std::get_if<1>(&*outcome_);
}

void BackgroundCall::run_job(ForeignCall& call) {
  // Checked once, before the call asks for the language's lock.
  if (!is_cancelled() && run_->begin_call()) {
    try {
      RunState::CallScope scope(*run_);
      outcome_.emplace(call.invoke());
    } catch (const std::exception& e) {
      outcome_.emplace(std::in_place_index<1>, e.what());
    }
    run_->end_call();
  }
  end();
}

void BackgroundCall::fail(std::string text) noexcept {
  outcome_.emplace(std::in_place_index<1>, std::move(text));
  end();
}

void BackgroundCall::end() noexcept {
  run_->finish();
  settled_.set();
  for (const DoneCallbacks::Fn& fn : done_.take_all()) fn();
}

std::shared_ptr<BackgroundCall> start_background_call(std::unique_ptr<ForeignCall> call,
                                                      TaskManager& registry) {
  rt::Runtime& runtime = rt::Runtime::get();
  auto state = std::make_shared<BackgroundCall>(next_task_id());
  registry.register_task(state->task_id(), state->run(), TaskKind::AsyncTask);
  try {
    // The job holds the call and drops it after the call's end, on the pool thread.
    runtime.blocking_pool().submit([state, foreign = std::shared_ptr<ForeignCall>(
                                               std::move(call))] { state->run_job(*foreign); });
  } catch (const std::exception& e) {
    state->fail(e.what());
  }
  return state;
}

}  // namespace varnex
