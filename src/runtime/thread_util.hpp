// Starting the runtime's own threads.
#pragma once

#include <pthread.h>

#include <csignal>
#include <functional>
#include <string>

namespace varnex::rt {

// Starts a detached thread with the given name (the OS keeps 15 bytes) and with SIGINT,
// SIGTERM and the other asynchronous signals blocked, so that they are delivered to the
// interpreter's threads, where Python expects them, and the runtime's own waits never see EINTR.
// The thread remembers the mask a plain Python thread started at this point would have (see
// StarterSignalMask). Throws std::system_error when the OS refuses the thread.
void start_named_thread(const std::string& name, std::function<void()> body);

// The same, joinable: the new thread's id goes to *thread. Returns 0 or the error number.
int create_named_thread(const std::string& name, std::function<void()> body, pthread_t* thread);

// Blocks the asynchronous signals (SIGINT, SIGTERM, ...) on the calling thread for its scope.
// Threads created meanwhile inherit the mask, so they never take a signal the interpreter
// expects on its own threads.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked();
  ~AsyncSignalsBlocked();
  AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
  AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// On one of the threads started above, for its scope: the signal mask a plain Python thread
// started where this thread was started would have. Python code run by the module (timer
// ticks, background calls, finalisers) runs under it, so that the children it starts
// (subprocess, multiprocessing) inherit that mask and not the runtime's. Does nothing on any
// other thread. Module calls made from that Python code wait as they do on the interpreter's
// threads, where EINTR is expected and handled.
class StarterSignalMask {
 public:
  StarterSignalMask() noexcept;
  ~StarterSignalMask();
  StarterSignalMask(const StarterSignalMask&) = delete;
  StarterSignalMask& operator=(const StarterSignalMask&) = delete;

 private:
  sigset_t previous_;
  bool applied_;
};

// Number of CPUs this process may run on (at least 1).
unsigned available_cpus();

}  // namespace varnex::rt
