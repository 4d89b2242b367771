// The runtime's view of one spawned task: its root coroutine and the abort request.
#pragma once

#include <atomic>
#include <coroutine>
#include <mutex>
#include <utility>

#include "runtime/waker.hpp"

namespace varnex::rt {

struct TaskContext {
  virtual ~TaskContext() = default;

  // Remembers the wake target of the task's current suspension, so that an abort can
  // wake the task and the executor can destroy it instead of resuming it.
  void on_suspend(const Waker& waker) {
    bool wake_now;
    {
      std::lock_guard lock(mutex_);
      current_waker_ = waker;
      wake_now = abort_requested_.load(std::memory_order_acquire);
    }
    if (wake_now) waker->wake();
  }

  void request_abort() {
    abort_requested_.store(true, std::memory_order_release);
    Waker waker;
    {
      std::lock_guard lock(mutex_);
      waker = current_waker_;
    }
    if (waker) waker->wake();
  }

  bool abort_requested() const { return abort_requested_.load(std::memory_order_acquire); }

  // Called by the executor in place of resuming the task once an abort was requested.
  void destroy_aborted() {
    std::coroutine_handle<> root = std::exchange(root_, {});
    {
      std::lock_guard lock(mutex_);
      current_waker_.reset();
    }
    if (root) root.destroy();
    on_aborted();
  }

  void set_root(std::coroutine_handle<> root) { root_ = root; }
  void root_finished() {
    root_ = {};
    std::lock_guard lock(mutex_);
    current_waker_.reset();
  }

 protected:
  virtual void on_aborted() = 0;

 private:
  std::mutex mutex_;
  Waker current_waker_;
  std::atomic<bool> abort_requested_{false};
  std::coroutine_handle<> root_;  // touched only by the thread running the task
};

// Runs one job on the current thread with the thread context set for it.
inline void run_job(Job job) {
  ThreadContext& tc = this_thread_context();
  tc.task = job.task;
  if (job.task && job.task->abort_requested()) {
    job.task->destroy_aborted();
  } else {
    job.handle.resume();
  }
  tc.task.reset();
}

}  // namespace varnex::rt
