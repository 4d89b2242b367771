#include "runtime/blocking_pool.hpp"

#include <system_error>

#include "common/os_error.hpp"
#include "runtime/fatal.hpp"
#include "runtime/thread_util.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

void BlockingPool::submit(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  queue_.push_back(std::move(job));
  if (idle_ > queue_.size() - 1) {
    lock.unlock();
    ready_.notify_one();
    return;
  }
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

void BlockingPool::thread_main() {
  ThreadContext& tc = this_thread_context();
  tc.executor = nullptr;
  tc.drives_tasks = false;
  std::unique_lock lock(mutex_);
  for (;;) {
    while (queue_.empty()) {
      ++idle_;
      bool woke = ready_.wait_for(lock, kIdleTimeout, [this] { return !queue_.empty(); });
      --idle_;
      if (!woke) {
        --threads_;
        return;
      }
    }
    auto job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job();  // jobs catch their own exceptions
    job = nullptr;
    lock.lock();
  }
}

}  // namespace varnex::rt
