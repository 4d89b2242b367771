// The worker pool: one FIFO run queue served by one worker thread per CPU.
//
// A worker that must block (block_in_place) first leaves the pool and starts a fresh worker
// in its place, so the queued tasks keep running; when it comes back the pool is one worker
// over its size, and the first worker that finds the queue empty retires.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "runtime/waker.hpp"

namespace varnex::rt {

class WorkerPool final : public Executor {
 public:
  explicit WorkerPool(unsigned size);

  void start();  // throws FatalError when the OS refuses a thread
  void schedule(Job job) override;

  // Hand-over around a blocking section on a worker thread.
  void leave_for_blocking();  // throws FatalError when the replacement cannot start
  void return_from_blocking();

  unsigned size() const { return size_; }
  unsigned live_workers() const;

 private:
  void spawn_worker_locked();
  void worker_main();

  const unsigned size_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> queue_;
  unsigned active_ = 0;  // threads acting as workers right now
  unsigned idle_ = 0;
};

}  // namespace varnex::rt
