#include "can/state_frame_socket.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "can/can_frame.hpp"

namespace varnex {

void StateFrameSocket::open() {
  const unsigned index = if_nametoindex(interface_.c_str());
  if (index == 0) return;
  UniqueFd fd(::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
  if (!fd) return;
  // No filter at all: no data frame is ever queued for it.
  if (::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) != 0) return;
  const can_err_mask_t mask = kStateErrorClasses;
  if (::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask) != 0) return;
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
  fd_ = std::move(fd);
}

void StateFrameSocket::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  fd_.reset();
}

void StateFrameSocket::drain(BusStateRule& rule) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  if (!fd_) open();
  while (fd_) {
    can_frame frame;
    const ssize_t n = ::recv(fd_.get(), &frame, sizeof frame, 0);
    if (n == static_cast<ssize_t>(sizeof frame)) {
      rule.saw_error_frame(parse_can_frame(frame));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // The interface was removed (ENODEV once, then the socket is unbound for good), or the
    // socket failed otherwise: a new one is opened at the next drain, if the name exists.
    fd_.reset();
  }
}

}  // namespace varnex
