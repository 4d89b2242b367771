#include "runtime/blocking_pool.hpp"

#include <algorithm>
#include <system_error>

#include "common/os_error.hpp"
#include "runtime/fatal.hpp"
#include "runtime/thread_util.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

void BlockingPool::submit(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (!idle_.empty()) {
    Idle* idle = idle_.back();
    idle_.pop_back();
    idle->job = std::move(job);
    // Under the lock: the mailbox lives on the idle thread's stack, which it may leave as soon
    // as it sees the job.
    idle->woken.notify_one();
    return;
  }
  queue_.push_back(std::move(job));
  try {
    start_named_thread("varnex-blocking", [this] { thread_main(); });
  } catch (const std::system_error& e) {
    queue_.pop_back();
    throw FatalError("OS can't spawn worker thread: " + os_error_text(e.code().value()));
  }
  ++threads_;
}

unsigned BlockingPool::thread_count() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

unsigned BlockingPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return static_cast<unsigned>(idle_.size());
}

void BlockingPool::thread_main() {
  ThreadContext& tc = this_thread_context();
  tc.executor = nullptr;
  tc.drives_tasks = false;
  std::unique_lock lock(mutex_);
  for (;;) {
    std::function<void()> job;
    if (!queue_.empty()) {
      job = std::move(queue_.front());
      queue_.pop_front();
    } else {
      Idle idle;
      idle_.push_back(&idle);
      const bool got = idle.woken.wait_for(lock, kIdleTimeout, [&idle] { return bool(idle.job); });
      if (!got) {
        idle_.erase(std::find(idle_.begin(), idle_.end(), &idle));
        --threads_;
        return;
      }
      job = std::move(idle.job);
    }
    lock.unlock();
    job();  // jobs catch their own exceptions
    job = nullptr;
    lock.lock();
  }
}

}  // namespace varnex::rt
