#include "python/blocking_wait.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "python/args.hpp"
#include "python/can_message.hpp"
#include "runtime/process.hpp"

namespace varnex::py {

bool on_main_thread() noexcept {
  // Every receive asks, and gettid and getpid are system calls (glibc caches neither): each
  // thread asks once per process (a child made by fork() asks again: its forking thread is its
  // main thread).
  thread_local std::uint64_t asked_in = ~std::uint64_t{0};
  thread_local bool main = false;
  const std::uint64_t generation = rt::process_generation();
  if (asked_in != generation) {
    main = static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
    asked_in = generation;
  }
  return main;
}

rt::InterruptCheck pending_signal_check() {
  if (!on_main_thread()) return {};
  return [] { return PyErr_CheckSignals() < 0; };
}

rt::InterruptCheck pending_signal_check(GilRelease& released) {
  if (!on_main_thread()) return {};
  return [&released] { return released.with_gil([] { return PyErr_CheckSignals() < 0; }); };
}

ReceiveCaller::ReceiveCaller(Gil gil, std::function<void()> on_release, BuildFrame build)
    : on_release_(std::move(on_release)) {
  const bool main = on_main_thread();
  if (gil == Gil::Released) {
    released_.emplace();
  } else {
    hooks_.held = this;
  }
  if (main) {
    hooks_.interrupted = [this] { return signal_raised(); };
    hooks_.before_hand_over = [this, build](const CanMessage& frame) {
      reacquire();
      built_ = PyRef::steal(build != nullptr ? build(frame) : new_can_message_tuple(frame));
      return !built_ || signal_raised();  // a tuple that cannot be built leaves its error set
    };
  }
}

void ReceiveCaller::release() {
  if (released_) return;
  if (on_release_) on_release_();
  released_.emplace();
}

bool ReceiveCaller::signal_raised() {
  const auto check = [] { return PyErr_CheckSignals() < 0; };
  return released_ ? released_->with_gil(check) : check();
}

bool wait_without_gil(const rt::Completion& done, std::optional<rt::Instant> deadline) {
  if (done.is_set()) return true;
  const rt::WaitEnd end = without_gil([&done, deadline](GilRelease& released) {
    return rt::wait_for_completion(done, deadline, pending_signal_check(released));
  });
  if (end == rt::WaitEnd::Interrupted) throw PyErrOccurred{};  // the handler's exception
  return end == rt::WaitEnd::Done;
}

}  // namespace varnex::py
