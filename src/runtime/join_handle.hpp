// Join handles: the shared completion state of a spawned task or a blocking job.
//
// Awaiting a JoinHandle yields the result (an exception from the task is rethrown; an
// aborted task throws TaskAborted). Destroying the handle detaches the task, which keeps
// running to its own end. abort() stops a spawned task at its next suspension point (its
// frame is destroyed, which withdraws its waits); it has no effect on blocking jobs.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "runtime/completion.hpp"
#include "runtime/poll.hpp"
#include "runtime/task_context.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

struct TaskAborted : std::exception {
  const char* what() const noexcept override { return "task aborted"; }
};

template <class T>
using StoredValue = std::conditional_t<std::is_void_v<T>, Unit, T>;

template <class T>
class JoinState final : public TaskContext {
 public:
  using Value = StoredValue<T>;

  void set_value(Value value) { complete(Outcome(std::in_place_index<1>, std::move(value))); }
  void set_exception(std::exception_ptr e) { complete(Outcome(std::in_place_index<2>, e)); }

  bool done() const { return finished_.is_set(); }

  // Set once the outcome is stored; threads and coroutines wait for the task through it.
  const Completion& finished() const { return finished_; }

  // The value of a task that returned, read in place: null while it runs, after an exception
  // or an abort. The value is never written again once stored.
  const Value* peek() const {
    if (!done()) return nullptr;
    std::lock_guard lock(mutex_);
    return outcome_.index() == 1 ? &std::get<1>(outcome_) : nullptr;
  }

  // Moves the value out of a finished state that nobody else joins (block_on's own state),
  // so move-only results work. Rethrows the task's exception; TaskAborted if it was aborted.
  Value take() {
    std::lock_guard lock(mutex_);
    switch (outcome_.index()) {
      case 1:
        return std::move(std::get<1>(outcome_));
      case 2:
        std::rethrow_exception(std::get<2>(outcome_));
      default:
        throw TaskAborted{};
    }
  }

  // The op behind awaiting a JoinHandle.
  std::optional<Value> poll_join(const Waker& waker) {
    if (!finished_.poll(waker)) return std::nullopt;
    std::lock_guard lock(mutex_);
    switch (outcome_.index()) {
      case 1:
        return std::get<1>(outcome_);  // copied so the state can be joined more than once
      case 2:
        std::rethrow_exception(std::get<2>(outcome_));
      default:
        throw TaskAborted{};
    }
  }

 protected:
  void on_aborted() override { complete(Outcome(std::in_place_index<3>, Unit{})); }

 private:
  using Outcome = std::variant<std::monostate, Value, std::exception_ptr, Unit>;

  void complete(Outcome outcome) {
    {
      std::lock_guard lock(mutex_);
      if (outcome_.index() != 0) return;
      outcome_ = std::move(outcome);
    }
    finished_.set();
  }

  mutable std::mutex mutex_;
  Outcome outcome_;
  Completion finished_;
};

template <class T>
class JoinHandle {
 public:
  using Value = StoredValue<T>;

  JoinHandle() = default;
  explicit JoinHandle(std::shared_ptr<JoinState<T>> state) : state_(std::move(state)) {}

  bool valid() const { return static_cast<bool>(state_); }
  // The shared state, for waiting on its completion outside a coroutine.
  const std::shared_ptr<JoinState<T>>& state() const { return state_; }
  bool is_finished() const { return state_ && state_->done(); }
  void abort() {
    if (state_) state_->request_abort();
  }

  // Op interface, so a join can take part in a select or a timeout.
  using Output = Value;
  std::optional<Value> poll(const Waker& waker) { return state_->poll_join(waker); }

  Task<Value> join() {
    JoinHandle copy = *this;  // keeps the state alive across the suspension
    co_return co_await wait(copy);
  }

 private:
  std::shared_ptr<JoinState<T>> state_;
};

namespace detail {

// The root coroutine of a spawned task: drives the task and reports its outcome.
// It starts suspended (the executor resumes it) and destroys itself when done.
struct RootCoroutine {
  struct promise_type {
    RootCoroutine get_return_object() noexcept {
      return {std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept {}  // the body catches everything itself
  };
  std::coroutine_handle<promise_type> handle;
};

template <class T>
RootCoroutine run_root(std::shared_ptr<JoinState<T>> state, Task<T> task) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      state->root_finished();
      state->set_value(Unit{});
    } else {
      T value = co_await std::move(task);
      state->root_finished();
      state->set_value(std::move(value));
    }
  } catch (...) {
    state->root_finished();
    state->set_exception(std::current_exception());
  }
}

}  // namespace detail

}  // namespace varnex::rt
