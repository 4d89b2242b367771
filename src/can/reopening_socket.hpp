// ReopeningSocket: the socket of a CAN device that outlives its interface. When the interface
// is removed (unplugged adapter, `ip link del`) the kernel unbinds the socket for good (see
// can/can_socket.hpp); this type notices that from the socket's errors, looks for an interface
// of the same name and, once there is one, opens a new socket on it (not provisioned: an
// interface that comes back down stays down until someone brings it up).
//
// Both CAN devices use it: the blocking one looks on every call while the interface is gone, the
// non-blocking device's task looks every kReopenPollPeriod. Either way an operation whose
// failure means the interface is gone asks retry_socket() for a socket to do it again on, so
// the first send after an interface is back goes out, even when the socket had never been told
// of the removal (a sender that only met ENETDOWN before it: the unbinding shows only as the
// next write's ENXIO).
//
// Not thread-safe: the owner guards it (the blocking device with its socket slot lock, the
// non-blocking device by keeping it in its task). The opening and lookup functions are
// parameters so that unit tests drive the policy without a kernel.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "can/can_socket.hpp"
#include "common/result.hpp"

namespace varnex {

// The errors of a read or write that mean the socket's interface is gone: ENODEV is the
// socket's pending error when its interface is unregistered; ENXIO is what every write on the
// unbound socket gets afterwards.
bool means_interface_gone(int errnum);

template <class Socket>
class BasicReopeningSocket {
 public:
  using Open = std::function<Result<std::unique_ptr<Socket>>(const std::string&)>;
  using Exists = std::function<bool(const std::string&)>;

  BasicReopeningSocket(std::string interface, std::unique_ptr<Socket> socket, Open open,
                       Exists exists)
      : interface_(std::move(interface)),
        current_(std::move(socket)),
        open_(std::move(open)),
        exists_(std::move(exists)) {}

  const std::string& interface() const { return interface_; }
  // The socket in use; null once closed. Its interface may be gone.
  const std::shared_ptr<Socket>& current() const { return current_; }
  bool closed() const { return current_ == nullptr; }
  // Lets go of the socket, handing it back so that the owner drops it outside its lock
  // (operations in progress keep it open until they end).
  [[nodiscard]] std::shared_ptr<Socket> close() { return std::exchange(current_, nullptr); }

  enum class Outcome : uint8_t {
    Usable,      // the interface is there (or was not missed): current() is the one to use
    Reopened,    // it was gone and is back: current() is a new socket
    Missing,     // it is gone and no interface has the name; error: the opening error
    CannotOpen,  // an interface has the name but no socket opens on it; error: why
  };
  struct Look {
    Outcome outcome;
    Error error{};  // for Missing and CannotOpen
    bool usable() const { return outcome == Outcome::Usable || outcome == Outcome::Reopened; }
  };

  // The socket to use now: the current one unless its interface is gone, else a new one when an
  // interface of the name exists. Must not be called once closed.
  Look look() {
    if (!current_->interface_gone()) return {Outcome::Usable};
    const bool present = exists_(interface_);
    Result<std::unique_ptr<Socket>> opened = open_(interface_);
    if (!opened)
      return {present ? Outcome::CannotOpen : Outcome::Missing, std::move(opened).error()};
    current_ = std::move(opened).value();
    return {Outcome::Reopened};
  }

  // After an operation on `used` failed: the socket to do it again on, when the failure meant
  // the interface is gone and it is back (a new socket, or the one another caller reopened
  // meanwhile); null when the failure stands (any other error, still missing, closed). A frame
  // whose write failed so was not written, so writing it again duplicates nothing.
  std::shared_ptr<Socket> retry_socket(const Socket& used) {
    if (current_ == nullptr || !used.interface_gone()) return nullptr;
    if (current_.get() != &used) return current_->interface_gone() ? nullptr : current_;
    return look().outcome == Outcome::Reopened ? current_ : nullptr;
  }

 private:
  const std::string interface_;
  std::shared_ptr<Socket> current_;
  Open open_;
  Exists exists_;
};

class ReopeningSocket : public BasicReopeningSocket<CanSocket> {
 public:
  // `filters` gives the receive filters a new socket is opened with; it is asked at each
  // reopening, under whatever lock the owner looks under, so that a change made meanwhile counts.
  // `error_mask`: the error classes a new socket receives (CanSocket::open).
  ReopeningSocket(std::string interface, std::unique_ptr<CanSocket> socket,
                  std::function<CanFilters()> filters, uint32_t error_mask = 0)
      : BasicReopeningSocket(
            std::move(interface), std::move(socket),
            [filters = std::move(filters), error_mask](const std::string& name) {
              return CanSocket::open(name, filters(), error_mask);
            },
            &interface_exists) {}
};

}  // namespace varnex
