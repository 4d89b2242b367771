// CanSocket: one raw SocketCAN socket bound to one interface, non-blocking and driven by the
// shared runtime's reactor. Destroying it deregisters and closes the socket.
//
// When the interface is removed (a USB adapter unplugged, `ip link del`), the kernel unbinds the
// socket for good: reads report ENODEV once, writes fail with ENXIO from then on, even after an
// interface of the same name appears again. The ops note such a failure (interface_gone()), so
// that the owner can open a new socket on the name instead of failing for ever.
//
// A socket belongs to the process that opened it: in a child made by fork() it is only closed
// (see born_), never used.
//
// The socket receives every data frame on the bus (no filter), or those its receive filters pass
// (can/can_filter.hpp, set before the socket is bound, so none other is ever queued), and the
// error frames of the classes its error mask names (CAN_RAW_ERR_FILTER; can/bus_state.hpp says
// which its owners ask for). Its receive
// buffer is enlarged (kReceiveBufferBytes) so that a full bus does not overflow it while its
// reader is descheduled; frames the kernel still drops for want of room are reported, at most
// once a second (ReceiveDrops), by the reads that come after them:
//   "[CAN] Interface '<name>': <N> received frame(s) dropped, the socket's receive buffer was full"
// Its
// operations are ops in the runtime's poll model (see runtime/poll.hpp), so they can take part
// in a select or a timeout. At most one send and one receive may wait at a time: the reactor
// keeps one waker per direction.
#pragma once

#include <linux/can.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "can/can_filter.hpp"
#include "can/receive_drops.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "runtime/poll.hpp"
#include "runtime/process.hpp"
#include "runtime/reactor.hpp"

namespace varnex {

// How often an owner whose interface was removed looks for an interface of the same name.
// SocketCAN tells a socket nothing when an interface appears; only a netlink route socket would,
// at the cost of a second descriptor and message parsing per device, while a lookup by name is
// one ioctl. A tenth of a second keeps recovery well under a second for no measurable load.
inline constexpr std::chrono::milliseconds kReopenPollPeriod{100};

// The receive buffer the sockets ask for, in the kernel's accounting, which charges 768 bytes
// per classic frame (measured on Linux 6.1): 4 MiB hold about 5,400 frames, 0.68 s of a
// 1 Mbit/s bus at its full rate of about 8,000 frames/s, where the kernel's default (208 KiB)
// holds 278, 35 ms. A process with CAP_NET_ADMIN gets it whole; any other gets at most twice
// net.core.rmem_max (default 208 KiB, so 416 KiB, 555 frames) unless that is raised, for
// example `sysctl -w net.core.rmem_max=2097152`. The buffer is a limit, not an allocation:
// memory is used only by frames waiting in it.
inline constexpr int kReceiveBufferBytes = 4 << 20;

// True when a network interface of that name exists now.
bool interface_exists(const std::string& interface);

// A frame record as read, with the kernel's receive time (see CanMessage::received_ns).
struct ReceivedRecord {
  can_frame frame;
  int64_t received_ns = 0;
};

class CanSocket {
 public:
  // Opens a raw CAN socket on `interface`, with `filters` in place before it is bound. Creates
  // the shared runtime if needed. Never waits, so any thread may call it, runtime workers included.
  // Errors (ErrorKind::Os), nothing left open on failure:
  //   "CAN Device not found: <ENAME>: <description>"   no interface of that name
  //   "IO: <description> (os error N)"                 socket(), the filters, bind() or
  //                                                    registration failed
  // `error_mask`: the error classes whose error frames the socket receives (0: none).
  static Result<std::unique_ptr<CanSocket>> open(const std::string& interface,
                                                 const CanFilters& filters = std::nullopt,
                                                 uint32_t error_mask = 0);

  CanSocket(const CanSocket&) = delete;
  CanSocket& operator=(const CanSocket&) = delete;
  ~CanSocket();

  int fd() const { return fd_.get(); }

  // The receive filters in place, and replacing them (no list: every frame again). Frames already
  // queued for the socket stay. Not thread-safe: the owner calls both under the lock it replaces
  // the socket under. Error (ErrorKind::Os): "<description> (os error N)", the old ones stay.
  const CanFilters& filters() const { return filters_; }
  Status set_filters(const CanFilters& filters);

  // True once a read or write failed because the interface this socket was bound to no longer
  // exists; the socket will never carry a frame again.
  bool interface_gone() const { return interface_gone_.load(std::memory_order_relaxed); }

  // Op: writes one frame record. Waits while the socket's send buffer is full; any other
  // write failure is the error, as "<description> (os error N)".
  class SendOp {
   public:
    using Output = Status;
    SendOp(CanSocket& device, const can_frame& frame) : device_(device), frame_(frame) {}
    SendOp(const SendOp&) = delete;
    SendOp& operator=(const SendOp&) = delete;
    std::optional<Status> poll(const rt::Waker& waker);

   private:
    CanSocket& device_;
    can_frame frame_;
  };

  // Op: reads the next frame record. Never reports an end of the stream: it waits until a
  // frame or a read error arrives. An op that is not ready has consumed nothing.
  class ReceiveOp {
   public:
    using Output = Result<ReceivedRecord>;
    explicit ReceiveOp(CanSocket& device) : device_(device) {}
    ReceiveOp(const ReceiveOp&) = delete;
    ReceiveOp& operator=(const ReceiveOp&) = delete;
    std::optional<Result<ReceivedRecord>> poll(const rt::Waker& waker);

   private:
    CanSocket& device_;
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
  std::optional<Result<ReceivedRecord>> try_receive();

  // Builds the frame for (id, data) and writes it; a frame construction error is returned as is.
  rt::Task<Status> send(uint32_t id, std::vector<uint8_t> data);
  rt::Task<Result<ReceivedRecord>> receive();

 private:
  CanSocket(UniqueFd fd, rt::Reactor& reactor, std::shared_ptr<rt::IoRegistration> registration,
            std::string interface, CanFilters filters)
      : fd_(std::move(fd)),
        reactor_(reactor),
        registration_(std::move(registration)),
        interface_(std::move(interface)),
        filters_(std::move(filters)) {}

  // An error of a read or write: its text, noting first whether it means the interface is gone.
  Error failure(int errnum);

  // Notes the kernel's drop count a frame carried, and prints the drops that are due.
  void note_drops(std::optional<uint32_t> kernel_count);
  void report_drops(std::optional<rt::Instant> now);

  UniqueFd fd_;
  rt::Reactor& reactor_;
  // In a child made by fork() the socket is the parent's too, registered with the parent's
  // epoll instance, which the child shares: deregistering there would take the parent's
  // registration away. An inherited socket only closes the child's descriptor.
  const rt::ProcessStamp born_;
  std::shared_ptr<rt::IoRegistration> registration_;
  std::atomic<bool> interface_gone_{false};
  const std::string interface_;
  CanFilters filters_;
  // Guards drops_. A leaf: taken only by reads (so under whatever locks the socket's readers
  // hold, such as a device's receive path) and by the destructor; nothing is taken under it,
  // and the line is printed after it is released.
  std::mutex drops_mutex_;
  ReceiveDrops drops_;
  std::atomic<bool> drops_unreported_{false};  // lets a healthy read skip the mutex
};

}  // namespace varnex
