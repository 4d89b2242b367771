// An OS thread with a name, started with the asynchronous signals blocked, whose handle can be
// kept. Dropping the handle detaches the thread (it runs on to its own end); join() waits for it.
#pragma once

#include <pthread.h>

#include <functional>
#include <string>

#include "common/result.hpp"

namespace varnex {

class JoinableThread {
 public:
  // Starts `body` on a new thread. The thread names itself `name` (the OS keeps the first 15
  // bytes) before running the body, and starts with SIGINT, SIGTERM and the other asynchronous
  // signals blocked so that they reach the interpreter's threads. A refused thread is an error
  // whose message is `what` + ": " + the OS error text; the body is then destroyed on the
  // calling thread.
  static Result<JoinableThread> start(std::string name, std::function<void()> body,
                                      const char* what);

  JoinableThread(JoinableThread&& other) noexcept;
  JoinableThread& operator=(JoinableThread&& other) noexcept;
  JoinableThread(const JoinableThread&) = delete;
  JoinableThread& operator=(const JoinableThread&) = delete;
  ~JoinableThread();  // detaches

  // Waits for the thread to end. Only once; not from the thread itself.
  void join();
  bool joinable() const { return joinable_; }

 private:
  explicit JoinableThread(pthread_t thread) : thread_(thread), joinable_(true) {}
  void detach();

  pthread_t thread_{};
  bool joinable_ = false;
};

}  // namespace varnex
