// The OS thread of a High or Realtime timer: named, started with the asynchronous signals
// blocked, and detached (nothing joins a timer's thread; its run state says when it is done).
#pragma once

#include <functional>
#include <string>

#include "common/result.hpp"

namespace varnex {

// Starts `body` on a new detached thread. The thread names itself `name` (the OS keeps the first
// 15 bytes) before running the body, and starts with SIGINT, SIGTERM and the other asynchronous
// signals blocked so that they reach the interpreter's threads. A refused thread is an error
// (kind Fatal) whose message is `what` + ": " + the OS error text; the body is then destroyed on
// the calling thread.
Status start_timer_thread(std::string name, std::function<void()> body, const char* what);

}  // namespace varnex
