// The OS thread of a High or Realtime timer or of a motor broadcast: named, started with the
// asynchronous signals blocked, and detached (nothing joins it; its run state says when it is
// done). Optionally placed for real-time work: SCHED_FIFO at a priority, pinned to one CPU.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/result.hpp"

namespace varnex {

// Real-time placement of one thread, opt-in. It applies to that thread only: neither the process
// nor the threads it starts later inherit it.
struct ThreadScheduling {
  std::optional<int> priority;  // SCHED_FIFO priority, kMinFifoPriority..kMaxFifoPriority
  std::optional<int> cpu;       // the one CPU the thread may run on

  bool empty() const { return !priority && !cpu; }
};

inline constexpr int kMinFifoPriority = 1;
inline constexpr int kMaxFifoPriority = 99;

// The values alone, before anything starts (ValueError texts):
//   "priority must be from 1 to 99 (SCHED_FIFO), got <n>"
//   "cpu must be a CPU number from 0 to <CPU_SETSIZE - 1>, got <n>"
Status check_thread_scheduling(const ThreadScheduling& scheduling);

// Starts `body` on a new detached thread. The thread names itself `name` (the OS keeps the first
// 15 bytes) before running the body, and starts with SIGINT, SIGTERM and the other asynchronous
// signals blocked so that they reach the interpreter's threads. A refused thread is an error
// (kind Fatal) whose message is `what` + ": " + the OS error text; the body is then destroyed on
// the calling thread.
//
// With `scheduling`, the new thread applies it to itself before the body, and the caller waits
// for that: when the system refuses it, the body never runs, the thread ends and the body is
// destroyed on the calling thread; the error is
//   PermissionError  "SCHED_FIFO priority <n> is not permitted for this process ... " with the
//                    ways to grant the right (CAP_SYS_NICE, an rtprio limit, LimitRTPRIO=)
//   ValueError       "cpu <n> is not available to this process (it may run on <list>)"
Status start_timer_thread(std::string name, std::function<void()> body, const char* what,
                          const ThreadScheduling& scheduling = {});

}  // namespace varnex
