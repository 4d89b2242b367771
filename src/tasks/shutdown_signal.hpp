// Waiting for the signals that ask the process to shut down: SIGINT (Ctrl+C) and SIGTERM.
//
// Each wait creates its own two listeners, so it sees only deliveries made while it waits: every
// call of a shutdown wait waits for a new signal. Creating them puts the module's process
// handlers back in place if the program replaced them since (see runtime/signal.hpp); they are
// never removed: SIGINT still reaches the interpreter's own handler, and SIGTERM no longer ends
// the process by itself.
#pragma once

#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/signal.hpp"
#include "runtime/task.hpp"
#include "runtime/waker.hpp"

namespace varnex {

// Op: ready with the signal's number (SIGINT or SIGTERM) once either listener has seen a
// delivery. Each poll starts with one listener chosen at random, so when both signals are
// pending either may win.
class ShutdownSignalOp {
 public:
  // Creates both listeners. Errors (kind Fatal): "Failed to register SIGINT handler: <error>",
  // then the same for SIGTERM.
  static Result<ShutdownSignalOp> create();

  using Output = int;
  std::optional<int> poll(const rt::Waker& waker);

  // A signal that has begun to arrive and that poll() has not reported yet (SIGINT first), if
  // any; never waits. See rt::SignalListener::arrived().
  std::optional<int> arrived() const;

 private:
  ShutdownSignalOp(rt::SignalListener sigint, rt::SignalListener sigterm)
      : sigint_(std::move(sigint)), sigterm_(std::move(sigterm)) {}

  rt::SignalListener sigint_;
  rt::SignalListener sigterm_;
};

// The name of a shutdown signal: "SIGINT", "SIGTERM".
std::string shutdown_signal_name(int signo);

}  // namespace varnex
