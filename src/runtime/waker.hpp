// Wake-up plumbing shared by every wait in the runtime.
//
// The model is "poll, register, get woken, poll again": an operation is polled with a Waker;
// if it is not ready it keeps the Waker and wakes it when something changes. A Waker is
// one-shot per suspension and may be held by several sources at once (a select, a
// timeout): the first wake schedules the coroutine, later ones do nothing, so a stale
// registration can never resume a coroutine twice.
#pragma once

#include <atomic>
#include <coroutine>
#include <memory>

namespace varnex::rt {

struct TaskContext;

// One unit of work for an executor: resume this coroutine on behalf of this task.
struct Job {
  std::coroutine_handle<> handle;
  std::shared_ptr<TaskContext> task;  // null for coroutines driven by block_on
};

class Executor {
 public:
  virtual ~Executor() = default;
  virtual void schedule(Job job) = 0;
};

// The wake state of one suspension. While the coroutine polls its operations the target
// is Polling: a wake then only records itself (Fired) and the coroutine polls again instead
// of suspending. Once every operation said "not ready" the coroutine arms the target and
// suspends; the first wake after that schedules it. A coroutine that got its value marks the
// target Done so that registrations left behind wake nothing.
class WakeTarget {
 public:
  WakeTarget(Executor* executor, Job job) : executor_(executor), job_(std::move(job)) {}

  void wake() {
    State s = state_.load(std::memory_order_acquire);
    for (;;) {
      if (s == State::Polling) {
        if (state_.compare_exchange_weak(s, State::Fired, std::memory_order_acq_rel)) return;
      } else if (s == State::Armed) {
        if (state_.compare_exchange_weak(s, State::Fired, std::memory_order_acq_rel)) {
          executor_->schedule(std::move(job_));
          return;
        }
      } else {
        return;
      }
    }
  }

  // Polling -> Armed. False when a wake arrived while polling: poll again at once.
  bool arm() {
    State expected = State::Polling;
    return state_.compare_exchange_strong(expected, State::Armed, std::memory_order_acq_rel);
  }
  void finish() { state_.store(State::Done, std::memory_order_release); }
  // Armed -> Done, for a waiter that stops waiting. False when a wake already claimed the
  // target: its schedule() is under way.
  bool disarm() {
    State expected = State::Armed;
    return state_.compare_exchange_strong(expected, State::Done, std::memory_order_acq_rel);
  }
  bool fired() const { return state_.load(std::memory_order_acquire) == State::Fired; }
  // Woken already, or finished: waking it again does nothing.
  bool spent() const {
    const State s = state_.load(std::memory_order_acquire);
    return s == State::Fired || s == State::Done;
  }

 private:
  enum class State { Polling, Armed, Fired, Done };
  std::atomic<State> state_{State::Polling};
  Executor* executor_;
  Job job_;
};

using Waker = std::shared_ptr<WakeTarget>;

// What the thread is doing right now; set by the executor that resumes a coroutine.
struct ThreadContext {
  Executor* executor = nullptr;       // where coroutines suspended here are resumed
  std::shared_ptr<TaskContext> task;  // the spawned task being run, if any
  bool drives_tasks = false;          // a worker, or a thread inside block_on
};

ThreadContext& this_thread_context();

}  // namespace varnex::rt
