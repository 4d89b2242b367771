// The blocking pool: threads for blocking work, started on demand. A thread that finds no
// work for kIdleTimeout ends, so a burst of blocking calls leaves no threads behind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace varnex::rt {

class BlockingPool {
 public:
  static constexpr std::chrono::seconds kIdleTimeout{10};

  // Runs job on an idle pool thread or on a new one. Throws FatalError when the OS
  // refuses a thread.
  void submit(std::function<void()> job);

  unsigned thread_count() const;

 private:
  void thread_main();

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  unsigned threads_ = 0;
  unsigned idle_ = 0;
};

}  // namespace varnex::rt
