// The blocking pool: threads for blocking work, started on demand. A thread that finds no
// work for kIdleTimeout ends, so a burst of blocking calls leaves no threads behind.
//
// A job goes to the thread that became idle last: a steady trickle of jobs keeps reusing one
// warm thread (as a thread pool with one busy worker does), rather than waking each idle thread
// in turn, which would also keep every one of them from ever reaching its idle timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace varnex::rt {

class BlockingPool {
 public:
  static constexpr std::chrono::seconds kIdleTimeout{10};

  // Runs job on an idle pool thread or on a new one. Throws FatalError when the OS
  // refuses a thread.
  void submit(std::function<void()> job);

  unsigned thread_count() const;
  unsigned idle_count() const;

 private:
  // An idle thread's mailbox, on that thread's stack while it waits.
  struct Idle {
    std::condition_variable woken;
    std::function<void()> job;
  };

  void thread_main();

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> queue_;  // jobs for threads being started
  std::vector<Idle*> idle_;                  // the last one became idle last
  unsigned threads_ = 0;
};

}  // namespace varnex::rt
