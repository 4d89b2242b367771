// Closing a device: the error every later call gets (and the one a child made by fork() gets),
// and an op that gives up once the device is closed, so a wait in progress on another thread
// ends with the close instead of holding the socket open.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/result.hpp"
#include "runtime/completion.hpp"

namespace varnex {

// What a call on a closed device gets; `owner` is the class the user holds ("CanDevice",
// "Motor", ...).
inline Error closed_device_error(const std::string& owner, const std::string& interface) {
  return Error::runtime(owner + " on interface '" + interface + "' is closed");
}

// What a call on a device inherited through fork() gets: the task, socket readiness and locks it
// relies on live in the parent process.
inline Error inherited_device_error(const std::string& owner, const std::string& interface) {
  return Error::runtime(owner + " on interface '" + interface +
                        "' belongs to the parent process (it was inherited through fork); create "
                        "a new one in this process");
}

// Op: `op`'s output, or an empty one once `closed` is set. An op that is not ready has consumed
// nothing, so one given up has taken nothing. The close is registered for only when the op has
// to wait: an op ready at once (most sends) does not take the completion's lock.
template <class Op>
class UnlessClosed {
 public:
  using Output = std::optional<rt::OpOutput<Op>>;

  UnlessClosed(Op& op, rt::Completion& closed) : op_(op), closed_(closed) {}

  std::optional<Output> poll(const rt::Waker& waker) {
    if (closed_.is_set()) return Output{};
    if (auto out = op_.poll(waker)) return Output{std::move(*out)};
    if (closed_.poll(waker)) return Output{};
    return std::nullopt;
  }

 private:
  Op& op_;
  rt::Completion& closed_;
};

}  // namespace varnex
