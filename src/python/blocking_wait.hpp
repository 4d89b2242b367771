// The waits Python code blocks in, all on rt::wait_for_completion: with the GIL released (or,
// where a call keeps it, held) and, on the main thread, ended by a signal handler that raises
// (KeyboardInterrupt on Ctrl+C) within rt::kInterruptCheckPeriod.
#pragma once

#include <Python.h>

#include <functional>
#include <optional>

#include "can/provisioning.hpp"
#include "can/receive_turn.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"
#include "runtime/completion.hpp"

namespace varnex::py {

// Python runs signal handlers only on the thread that initialised it, which for the python
// program (and after fork, for the forking thread) is the process's main thread: tid == pid.
bool on_main_thread() noexcept;

// For a wait that keeps the GIL: on the main thread, a check that runs the pending handlers and
// returns true when one raised, leaving that exception set; elsewhere an empty check.
rt::InterruptCheck pending_signal_check();

// For a wait inside `released`'s scope: the same check, taking the GIL back for it.
rt::InterruptCheck pending_signal_check(GilRelease& released);

// Waits for `done` until `deadline` with the GIL released. False when the deadline passed first;
// PyErrOccurred when a signal handler raised (its exception is set). Never releases the GIL for
// a completion that is already set.
bool wait_without_gil(const rt::Completion& done, std::optional<rt::Instant> deadline);

// Runs `create`, a device constructor (which provisions its interface with `ip`), so that on the
// main thread a signal handler that raises (Ctrl+C) ends a wait for `ip`: the child is killed and
// the handler's exception is raised instead of the provisioning error. Returns the device or
// raises its error.
template <class Create>
auto create_device(Create&& create) {
  ProvisioningInterrupt interruptible(pending_signal_check());
  auto created = create();
  if (!created && interruptible.fired()) throw PyErrOccurred{};
  return unwrap(std::move(created));
}

// The Python caller of one blocking CAN receive, for its scope: the GIL it holds, and the checks
// the receive makes on its behalf (can/receive_turn.hpp).
//   - A receive that keeps the GIL (try_receive, receive_timeout, CanDevice.receive) releases it
//     only when it must wait behind another receive on the same device; `on_release` then runs
//     first (CanDevice.receive gives up its exclusive access there, so that the other receive's
//     caller can use the object meanwhile).
//   - A receive that releases the GIL for its whole wait (recv) passes releases_gil.
// On the main thread, pending signal handlers run between the slices of every wait (taking the
// GIL back for them when it is released), and once more as the very last step, with the frame's
// tuple built and the GIL held: a handler that raises then makes the device keep the frame for
// the next receive, and the call raises the handler's exception instead. Only a signal that
// arrives after that, while the call returns, can still cost the frame: CPython runs its handler
// right after the call, and an exception raised there discards the call's return value (as for
// any Python function).
class ReceiveCaller final : public CallerLock {
 public:
  enum class Gil : bool { Kept, Released };
  // How the frame becomes a Python object (a new reference, or null with the error set); null:
  // the tuple (id, data).
  using BuildFrame = PyObject* (*)(const CanMessage&) noexcept;
  explicit ReceiveCaller(Gil gil, std::function<void()> on_release = {},
                         BuildFrame build = nullptr);
  ReceiveCaller(const ReceiveCaller&) = delete;
  ReceiveCaller& operator=(const ReceiveCaller&) = delete;
  ~ReceiveCaller() = default;  // the GIL is held again once this goes

  const ReceiveHooks& hooks() const { return hooks_; }

  // The frame the last step built (on the main thread), to be returned as it is; else null.
  PyRef take_built() { return std::move(built_); }

  // Takes the GIL back now (the receive has returned, or hands its frame over).
  void reacquire() { released_.reset(); }

  void release() override;

 private:
  // On the main thread: runs pending signal handlers; true when one raised (its exception set).
  bool signal_raised();

  std::function<void()> on_release_;
  std::optional<GilRelease> released_;
  PyRef built_;
  ReceiveHooks hooks_;
};

}  // namespace varnex::py
