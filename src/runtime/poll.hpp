// Awaiting pollable operations.
//
// An operation ("op") is an object with
//     using Output = ...;
//     std::optional<Output> poll(const Waker& waker);
// poll returns the output when the op is ready; otherwise it keeps the waker and wakes it
// when it may have become ready. An op must not move while it may hold a waker, and its
// destructor withdraws any registration, so a coroutine frame can be destroyed at any
// suspension point.
#pragma once

#include <coroutine>
#include <memory>
#include <optional>
#include <random>
#include <utility>
#include <variant>

#include "runtime/task.hpp"
#include "runtime/task_context.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

template <class Op>
using OpOutput = typename Op::Output;

// One poll round. Resumes with the output, or with nothing after a wake-up (poll again).
template <class Op>
class PollOnce {
 public:
  explicit PollOnce(Op& op) : op_(op) {}

  bool await_ready() noexcept { return false; }

  bool await_suspend(std::coroutine_handle<> h) {
    ThreadContext& tc = this_thread_context();
    for (;;) {
      auto waker = std::make_shared<WakeTarget>(tc.executor, Job{h, tc.task});
      auto result = op_.poll(waker);
      if (result) {
        waker->finish();
        out_ = std::move(result);
        return false;
      }
      if (waker->arm()) {
        // Only locals are touched from here on: the coroutine may already be running elsewhere.
        if (tc.task) tc.task->on_suspend(waker);
        return true;
      }
    }
  }

  std::optional<OpOutput<Op>> await_resume() { return std::move(out_); }

 private:
  Op& op_;
  std::optional<OpOutput<Op>> out_;
};

// Waits until the op is ready and returns its output.
template <class Op>
Task<OpOutput<Op>> wait(Op& op) {
  for (;;) {
    auto out = co_await PollOnce<Op>(op);
    if (out) co_return std::move(*out);
  }
}

// Fair choice between two ops: each poll round starts with one chosen at random, so
// neither side can starve the other when both are always ready.
template <class A, class B>
class Select2 {
 public:
  using Output = std::variant<OpOutput<A>, OpOutput<B>>;

  Select2(A& a, B& b) : a_(a), b_(b) {}

  std::optional<Output> poll(const Waker& waker) {
    if (coin()) {
      if (auto r = a_.poll(waker)) return Output(std::in_place_index<0>, std::move(*r));
      if (auto r = b_.poll(waker)) return Output(std::in_place_index<1>, std::move(*r));
    } else {
      if (auto r = b_.poll(waker)) return Output(std::in_place_index<1>, std::move(*r));
      if (auto r = a_.poll(waker)) return Output(std::in_place_index<0>, std::move(*r));
    }
    return std::nullopt;
  }

 private:
  static bool coin() {
    thread_local std::minstd_rand generator{std::random_device{}()};
    return (generator() & 1u) != 0;
  }
  A& a_;
  B& b_;
};

}  // namespace varnex::rt
