// StateFrameSocket: a raw CAN socket that receives no data frame, only the error frames that
// tell a bus state (kStateErrorClasses), read when asked. The blocking CanDevice has no task
// reading its socket, so without it its bus state would know only the error frames its receives
// happened to read, and never between two receives. It is opened by the first drain(), so a
// device whose bus state nobody asks for holds one descriptor, as before; error frames from
// before that call are not seen (on a real controller the link's state tells it anyway).
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "can/bus_state.hpp"
#include "common/unique_fd.hpp"

namespace varnex {

class StateFrameSocket {
 public:
  explicit StateFrameSocket(std::string interface) : interface_(std::move(interface)) {}

  // Passes every error frame queued now to `rule`, in order; never waits. Opens the socket
  // first when it is not open (no interface of the name: not open, tried again next time). A socket
  // whose interface was removed is closed, and a new one opened once an interface has the name
  // again (the frames of the time between are lost: none tells the present state anyway).
  void drain(BusStateRule& rule);
  // Closes the socket for good: drain() does nothing after it.
  void close();

 private:
  void open();

  const std::string interface_;
  std::mutex mutex_;  // a leaf: held for a few non-blocking reads
  UniqueFd fd_;
  bool closed_ = false;  // guarded by mutex_
};

}  // namespace varnex
