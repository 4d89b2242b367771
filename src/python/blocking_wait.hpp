// The waits Python code blocks in, all on rt::wait_for_completion: with the GIL released (or,
// where a call keeps it, held) and, on the main thread, ended by a signal handler that raises
// (KeyboardInterrupt on Ctrl+C) within rt::kInterruptCheckPeriod.
#pragma once

#include <Python.h>

#include <optional>

#include "can/provisioning.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
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

// A `timeout` argument in seconds (float or int) as a deadline: None (or absent) is none; zero
// or less is now (look, do not wait). ValueError for NaN.
std::optional<rt::Instant> deadline_from_seconds(PyObject* timeout);

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

}  // namespace varnex::py
