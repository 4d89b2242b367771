#include "python/signal_check.hpp"

#include <Python.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace varnex::py {

namespace {

// The interpreter's main thread is the process's main thread for the python program: tid == pid.
bool on_main_thread() { return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid(); }

}  // namespace

InterruptCheck pending_signal_check() {
  if (!on_main_thread()) return {};
  return [] { return PyErr_CheckSignals() < 0; };
}

}  // namespace varnex::py
