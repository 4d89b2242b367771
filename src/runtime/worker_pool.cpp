#include "runtime/worker_pool.hpp"

#include <system_error>

#include "common/os_error.hpp"
#include "runtime/fatal.hpp"
#include "runtime/task_context.hpp"
#include "runtime/thread_util.hpp"

namespace varnex::rt {

WorkerPool::WorkerPool(unsigned size) : size_(size == 0 ? 1 : size) {}

void WorkerPool::start() {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < size_; ++i) spawn_worker_locked();
}

void WorkerPool::spawn_worker_locked() {
  try {
    start_named_thread("varnex-worker", [this] { worker_main(); });
  } catch (const std::system_error& e) {
    throw FatalError("OS can't spawn worker thread: " + os_error_text(e.code().value()));
  }
  ++active_;
}

void WorkerPool::schedule(Job job) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
    if (idle_ == 0) return;
  }
  ready_.notify_one();
}

void WorkerPool::leave_for_blocking() {
  ThreadContext& tc = this_thread_context();
  std::lock_guard lock(mutex_);
  --active_;
  if (active_ < size_) spawn_worker_locked();
  tc.drives_tasks = false;
}

void WorkerPool::return_from_blocking() {
  ThreadContext& tc = this_thread_context();
  std::lock_guard lock(mutex_);
  ++active_;
  tc.executor = this;
  tc.drives_tasks = true;
}

unsigned WorkerPool::live_workers() const {
  std::lock_guard lock(mutex_);
  return active_;
}

void WorkerPool::worker_main() {
  ThreadContext& tc = this_thread_context();
  tc.executor = this;
  tc.drives_tasks = true;
  std::unique_lock lock(mutex_);
  for (;;) {
    while (queue_.empty()) {
      if (active_ > size_) {  // one over after a hand-over came back: retire
        --active_;
        return;
      }
      ++idle_;
      ready_.wait(lock);
      --idle_;
    }
    Job job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    run_job(std::move(job));
    lock.lock();
  }
}

}  // namespace varnex::rt
