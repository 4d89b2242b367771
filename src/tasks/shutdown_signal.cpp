#include "tasks/shutdown_signal.hpp"

#include <csignal>
#include <utility>
#include <variant>

#include "runtime/poll.hpp"

namespace varnex {

namespace {

Result<rt::SignalListener> listen(int signo) {
  Result<rt::SignalListener> listener = rt::SignalListener::create(signo);
  if (!listener) {
    return Error::fatal("Failed to register " + shutdown_signal_name(signo) +
                        " handler: " + listener.error().message);
  }
  return listener;
}

}  // namespace

std::string shutdown_signal_name(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "signal " + std::to_string(signo);
  }
}

Result<ShutdownSignalOp> ShutdownSignalOp::create() {
  Result<rt::SignalListener> sigint = listen(SIGINT);
  if (!sigint) return std::move(sigint).error();
  Result<rt::SignalListener> sigterm = listen(SIGTERM);
  if (!sigterm) return std::move(sigterm).error();
  return ShutdownSignalOp(std::move(sigint).value(), std::move(sigterm).value());
}

std::optional<int> ShutdownSignalOp::poll(const rt::Waker& waker) {
  rt::Select2 either(sigint_, sigterm_);
  auto ready = either.poll(waker);
  if (!ready) return std::nullopt;
  return std::visit([](int signo) { return signo; }, *ready);
}

}  // namespace varnex

namespace varnex {

std::optional<int> ShutdownSignalOp::arrived() const {
  if (sigint_.arrived()) return SIGINT;
  if (sigterm_.arrived()) return SIGTERM;
  return std::nullopt;
}

}  // namespace varnex
