// CanDevice: one raw SocketCAN socket bound to one interface, non-blocking and driven by the
// shared runtime's reactor. Destroying it deregisters and closes the socket.
//
// When the interface is removed (a USB adapter unplugged, `ip link del`), the kernel unbinds the
// socket for good: reads report ENODEV once, writes fail with ENXIO from then on, even after an
// interface of the same name appears again. The ops note such a failure (interface_gone()), so
// that the owner can open a new socket on the name instead of failing for ever.
//
// The socket receives every data frame on the bus (no filter) and no error frames. Its
// operations are ops in the runtime's poll model (see runtime/poll.hpp), so they can take part
// in a select or a timeout. At most one send and one receive may wait at a time: the reactor
// keeps one waker per direction.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>
#include <string>

#include <linux/can.h>

#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "runtime/poll.hpp"
#include "runtime/reactor.hpp"

namespace varnex {

// How often an owner whose interface was removed looks for an interface of the same name.
// SocketCAN tells a socket nothing when an interface appears; only a netlink route socket would,
// at the cost of a second descriptor and message parsing per device, while a lookup by name is
// one ioctl. A tenth of a second keeps recovery well under a second for no measurable load.
inline constexpr std::chrono::milliseconds kReopenPollPeriod{100};

// True when a network interface of that name exists now.
bool interface_exists(const std::string& interface);

class CanDevice {
 public:
  // Opens a raw CAN socket on `interface`. Creates the shared runtime if needed. Never waits,
  // so any thread may call it, runtime workers included.
  // Errors (ErrorKind::Os), nothing left open on failure:
  //   "CAN Device not found: <ENAME>: <description>"   no interface of that name
  //   "IO: <description> (os error N)"                 socket(), bind() or registration failed
  static Result<std::unique_ptr<CanDevice>> open(const std::string& interface);

  CanDevice(const CanDevice&) = delete;
  CanDevice& operator=(const CanDevice&) = delete;
  ~CanDevice();

  int fd() const { return fd_.get(); }

  // True once a read or write failed because the interface this socket was bound to no longer
  // exists; the socket will never carry a frame again.
  bool interface_gone() const { return interface_gone_.load(std::memory_order_relaxed); }

  // Op: writes one frame record. Waits while the socket's send buffer is full; any other
  // write failure is the error, as "<description> (os error N)".
  class SendOp {
   public:
    using Output = Status;
    SendOp(CanDevice& device, const can_frame& frame) : device_(device), frame_(frame) {}
    SendOp(const SendOp&) = delete;
    SendOp& operator=(const SendOp&) = delete;
    std::optional<Status> poll(const rt::Waker& waker);

   private:
    CanDevice& device_;
    can_frame frame_;
  };

  // Op: reads the next frame record. Never reports an end of the stream: it waits until a
  // frame or a read error arrives. An op that is not ready has consumed nothing.
  class ReceiveOp {
   public:
    using Output = Result<can_frame>;
    explicit ReceiveOp(CanDevice& device) : device_(device) {}
    ReceiveOp(const ReceiveOp&) = delete;
    ReceiveOp& operator=(const ReceiveOp&) = delete;
    std::optional<Result<can_frame>> poll(const rt::Waker& waker);

   private:
    CanDevice& device_;
  };

  SendOp send_op(const can_frame& frame) { return SendOp(*this, frame); }

  // Writes one frame record now if the send buffer has room: nothing when it is full (the frame
  // is not written), else the write's outcome as SendOp reports it. Never waits.
  std::optional<Status> try_send(const can_frame& frame);

  // Shrinks the socket's send buffer to the kernel's minimum, so that the frames written but not
  // yet on the bus (held by a stalled transmit queue) are a handful instead of hundreds.
  void limit_send_buffer();
  ReceiveOp receive_op() { return ReceiveOp(*this); }

  // Reads one frame record now if one is there, whatever the reactor last reported: nothing when
  // the socket is empty, else the read's outcome as ReceiveOp reports it. Never waits.
  std::optional<Result<can_frame>> try_receive();

  // Builds the frame for (id, data) and writes it; a frame construction error is returned as is.
  rt::Task<Status> send(uint32_t id, std::vector<uint8_t> data);
  rt::Task<Result<can_frame>> receive();

 private:
  CanDevice(UniqueFd fd, std::shared_ptr<rt::IoRegistration> registration)
      : fd_(std::move(fd)), registration_(std::move(registration)) {}

  // An error of a read or write: its text, noting first whether it means the interface is gone.
  Error failure(int errnum);

  UniqueFd fd_;
  std::shared_ptr<rt::IoRegistration> registration_;
  std::atomic<bool> interface_gone_{false};
};

}  // namespace varnex
