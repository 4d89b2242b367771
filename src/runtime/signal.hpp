// Signal streams for SIGINT and SIGTERM.
//
// The first listener of a signal installs one process handler for it; it is never removed.
// The handler counts the delivery, writes one byte to the reactor's pipe (both
// async-signal-safe) and passes the signal on to the handler installed before it (for
// SIGINT, the interpreter's own, which then still raises KeyboardInterrupt at its next
// check). It does not pass a signal on to the default action, so once a listener has
// existed, SIGTERM no longer ends the process by itself.
//
// A listener sees only deliveries made while it exists. Deliveries that arrive faster than
// the listener takes them may be coalesced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt {

class SignalListener {
 public:
  // Installs the process handler on first use. Error text: the system error.
  static Result<SignalListener> create(int signo);

  SignalListener(SignalListener&& other) noexcept;
  SignalListener& operator=(SignalListener&&) = delete;
  SignalListener(const SignalListener&) = delete;
  ~SignalListener();

  int signo() const { return signo_; }

  // Op: ready once a delivery newer than the last one taken has happened.
  using Output = int;
  std::optional<int> poll(const Waker& waker);

 private:
  SignalListener(int signo, uint64_t seen);
  void unregister();

  int signo_;
  uint64_t seen_;
  bool registered_ = false;
  uint64_t id_ = 0;
};

// Called by the reactor when the signal pipe had data.
void wake_signal_listeners();

}  // namespace varnex::rt
