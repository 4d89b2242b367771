// Signal streams for SIGINT and SIGTERM.
//
// Creating a listener makes sure the process handler of its signal is ours: installed by the
// first listener, and installed again by a later one when something replaced it meanwhile (a
// program that calls signal.signal(), as asyncio.run() does for SIGINT). Our handler is never
// removed. It counts the delivery, passes the signal on to the handler that was installed before
// it (for SIGINT, the interpreter's own, which then still raises KeyboardInterrupt at its next
// check) and writes one byte to the reactor's pipe (all async-signal-safe). It does not pass a
// signal on to the default action, so once a listener has existed, SIGTERM no longer ends the
// process by itself.
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
  // Installs the process handler (see above). Error text: the system error.
  static Result<SignalListener> create(int signo);

  SignalListener(SignalListener&& other) noexcept;
  SignalListener& operator=(SignalListener&&) = delete;
  SignalListener(const SignalListener&) = delete;
  ~SignalListener();

  int signo() const { return signo_; }

  // Op: ready once a delivery newer than the last one taken has happened.
  using Output = int;
  std::optional<int> poll(const Waker& waker);

  // True once a delivery not yet taken has begun, even if our handler is still running (it may
  // be inside the handler installed before it): a check on another thread that finds the
  // interpreter's SIGINT flag set can ask this to know whether that SIGINT is one we will see.
  bool arrived() const;

 private:
  SignalListener(int signo, uint64_t seen, uint64_t arrived);
  void unregister();

  int signo_;
  uint64_t seen_;
  uint64_t arrived_seen_;
  bool registered_ = false;
  uint64_t id_ = 0;
};

// Called by the reactor when the signal pipe had data.
void wake_signal_listeners();

}  // namespace varnex::rt
