// StateFrameSocket: a raw CAN socket that receives no data frame, only the error frames that
// tell a bus state (kStateErrorClasses), read when asked. The blocking CanDevice has no task
// reading its socket, so without it its bus state would know only the error frames its receives
// happened to read, and never between two receives.
#pragma once

#include <mutex>
#include <string>

#include "can/bus_state.hpp"
#include "common/unique_fd.hpp"

namespace varnex {

class StateFrameSocket {
 public:
  // Opens the socket; when it cannot be opened (no such interface) the first drain() tries again.
  explicit StateFrameSocket(std::string interface);

  // Passes every error frame queued now to `rule`, in order; never waits. A socket whose
  // interface was removed is closed, and a new one opened once an interface has the name again
  // (the frames of the time between are lost: none tells the present state anyway).
  void drain(BusStateRule& rule);

 private:
  void open();

  const std::string interface_;
  std::mutex mutex_;  // a leaf: held for a few non-blocking reads
  UniqueFd fd_;
};

}  // namespace varnex
