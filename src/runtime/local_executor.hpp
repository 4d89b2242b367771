// The executor of a thread that drives a wait itself (block_on, blocking lock): coroutines
// suspended on this thread are resumed here, by this thread, when their wake-ups arrive.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "runtime/waker.hpp"

namespace varnex::rt {

class LocalExecutor final : public Executor {
 public:
  void schedule(Job job) override {
    // Notify under the lock: the executor lives on the waiting thread's stack, and that
    // thread may return and destroy it as soon as it sees the job.
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
    ready_.notify_one();
  }

  // Sleeps until a job is scheduled, then returns it.
  Job next() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty(); });
    Job job = std::move(queue_.front());
    queue_.pop_front();
    return job;
  }

  bool has_work() {
    std::lock_guard lock(mutex_);
    return !queue_.empty();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> queue_;
};

}  // namespace varnex::rt
