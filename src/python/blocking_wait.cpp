#include "python/blocking_wait.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace varnex::py {

bool on_main_thread() noexcept {
  return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
}

rt::InterruptCheck pending_signal_check() {
  if (!on_main_thread()) return {};
  return [] { return PyErr_CheckSignals() < 0; };
}

rt::InterruptCheck pending_signal_check(GilRelease& released) {
  if (!on_main_thread()) return {};
  return [&released] { return released.with_gil([] { return PyErr_CheckSignals() < 0; }); };
}

bool wait_without_gil(const rt::Completion& done, std::optional<rt::Instant> deadline) {
  if (done.is_set()) return true;
  rt::WaitEnd end;
  {
    GilRelease released;
    end = rt::wait_for_completion(done, deadline, pending_signal_check(released));
  }
  if (end == rt::WaitEnd::Interrupted) throw PyErrOccurred{};  // the handler's exception
  return end == rt::WaitEnd::Done;
}

}  // namespace varnex::py
