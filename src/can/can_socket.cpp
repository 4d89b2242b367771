#include "can/can_socket.hpp"

#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "can/can_frame.hpp"
#include "can/reopening_socket.hpp"
#include "common/os_error.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"

namespace varnex {
namespace {

Error io_error(int errnum) { return Error::os("IO: " + os_error_text(errnum)); }

// The kernel doubles the size asked for (its bookkeeping is counted against the buffer), so
// half is asked. Over net.core.rmem_max only CAP_NET_ADMIN may go (SO_RCVBUFFORCE); any other
// process gets the most the limit allows. Either way the socket works, so a refusal is no error.
void enlarge_receive_buffer(int fd) {
  const int request = kReceiveBufferBytes / 2;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &request, sizeof request) == 0) return;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &request, sizeof request);
}

std::string drops_line(const std::string& interface, uint64_t frames) {
  return "[CAN] Interface '" + interface + "': " + std::to_string(frames) +
         " received frame(s) dropped, the socket's receive buffer was full\n";
}

// Puts `filters` in place on the socket: no list, the kernel's default (one filter that passes
// every frame); else the list as the kernel reads it (an empty one passes nothing).
bool apply_filters(int fd, const CanFilters& filters) {
  std::vector<can_filter> list =
      filters ? kernel_filters(*filters) : std::vector<can_filter>{{0, 0}};
  return ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, list.empty() ? nullptr : list.data(),
                      static_cast<socklen_t>(list.size() * sizeof(can_filter))) == 0;
}

// A frame record is written and read whole; a partial transfer would be a kernel fault, so it
// is reported like an I/O error rather than passed on as a frame.
constexpr ssize_t kRecordSize = sizeof(can_frame);

}  // namespace

bool interface_exists(const std::string& interface) {
  return if_nametoindex(interface.c_str()) != 0;
}

Result<std::unique_ptr<CanSocket>> CanSocket::open(const std::string& interface,
                                                   const CanFilters& filters, uint32_t error_mask) {
  const unsigned index = if_nametoindex(interface.c_str());
  if (index == 0) {
    const int errnum = errno;
    char buffer[256];
    const char* description = strerror_r(errnum, buffer, sizeof buffer);
    return Error::os("CAN Device not found: " + errno_name(errnum) + ": " + description);
  }

  UniqueFd fd(::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
  if (!fd) return io_error(errno);
  enlarge_receive_buffer(fd.get());
  // Best effort like the buffer: a kernel without it only leaves drops unreported.
  const int on = 1;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  // The kernel's receive time of each frame; without it frames carry none (received_ns 0).
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // Before bind(): a bound socket is queued every frame from then on, those the filters would
  // exclude among them, until the filters are in place.
  if (filters && !apply_filters(fd.get(), filters)) return io_error(errno);
  if (error_mask != 0 && ::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &error_mask,
                                      sizeof error_mask) != 0) {
    return io_error(errno);
  }

  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return io_error(errno);
  }

  std::shared_ptr<rt::IoRegistration> registration;
  rt::Reactor* reactor = nullptr;
  try {
    reactor = &rt::Runtime::get().reactor();
    registration = reactor->register_fd(fd.get());
  } catch (const std::system_error& e) {
    return io_error(e.code().value());
  }
  return std::unique_ptr<CanSocket>(
      new CanSocket(std::move(fd), *reactor, std::move(registration), interface, filters));
}

Status CanSocket::set_filters(const CanFilters& filters) {
  if (!apply_filters(fd(), filters)) return Error::os(os_error_text(errno));
  filters_ = filters;
  return {};
}

CanSocket::~CanSocket() {
  // Deregister first, so the reactor never sees an event for a number that closing freed.
  if (!born_.inherited()) reactor_.deregister_fd(fd_.get());
  if (!born_.inherited() && drops_unreported_.load(std::memory_order_relaxed)) {
    report_drops(std::nullopt);
  }
}

void CanSocket::note_drops(std::optional<uint32_t> kernel_count) {
  if (kernel_count) {
    std::lock_guard lock(drops_mutex_);
    drops_.saw(*kernel_count);
    drops_unreported_.store(drops_.unreported() > 0, std::memory_order_relaxed);
  }
  if (drops_unreported_.load(std::memory_order_relaxed)) report_drops(rt::Clock::now());
}

// Without `now` (the socket closes) whatever is counted is reported.
void CanSocket::report_drops(std::optional<rt::Instant> now) {
  std::optional<uint64_t> frames;
  {
    std::lock_guard lock(drops_mutex_);
    frames = now ? drops_.due(*now) : drops_.take();
    drops_unreported_.store(drops_.unreported() > 0, std::memory_order_relaxed);
  }
  if (frames) {
    write_stderr(DiagnosticLevel::Warning, drops_line(interface_, *frames),
                 {{"interface", interface_}});
  }
}

Error CanSocket::failure(int errnum) {
  if (means_interface_gone(errnum)) interface_gone_.store(true, std::memory_order_relaxed);
  return Error::os(os_error_text(errnum));
}

std::optional<Status> CanSocket::SendOp::poll(const rt::Waker& waker) {
  for (;;) {
    auto ready = device_.registration_->poll_ready(rt::Interest::Write, waker);
    if (!ready) return std::nullopt;
    if (std::optional<Status> wrote = device_.try_send(frame_)) return wrote;
    // The send buffer is full: wait for the reactor to report room again.
    device_.registration_->clear_ready(rt::Interest::Write, *ready);
  }
}

std::optional<Status> CanSocket::try_send(const can_frame& frame) {
  for (;;) {
    const ssize_t n = ::write(fd(), &frame, sizeof frame);
    if (n == kRecordSize) return Status{};
    if (n >= 0) return Status(Error::os(os_error_text(EIO)));
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    return Status(failure(errno));
  }
}

namespace {

// What the kernel sent with a received frame: its drop count (SO_RXQ_OVFL), which only frames
// queued after the socket's first drop carry, and its receive time (SO_TIMESTAMPNS).
struct RecordControl {
  std::optional<uint32_t> drop_count;
  int64_t received_ns = 0;
};

RecordControl control_of(msghdr& message) {
  RecordControl out;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
      uint32_t count;
      std::memcpy(&count, CMSG_DATA(c), sizeof count);
      out.drop_count = count;
    } else if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      out.received_ns = static_cast<int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
    }
  }
  return out;
}

}  // namespace

void CanSocket::limit_send_buffer() {
  // The kernel raises the value to its minimum (about 4.5 kB: a few frame buffers). Failing
  // leaves the default, which only makes the held frames more.
  const int smallest = 0;
  (void)::setsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
}

std::optional<Result<ReceivedRecord>> CanSocket::try_receive() {
  for (;;) {
    can_frame frame;
    iovec record{&frame, sizeof frame};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &record;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd(), &message, 0);
    if (n == kRecordSize) {
      const RecordControl got = message.msg_controllen > 0 ? control_of(message) : RecordControl{};
      note_drops(got.drop_count);
      return Result<ReceivedRecord>(ReceivedRecord{frame, got.received_ns});
    }
    if (n >= 0) return Result<ReceivedRecord>(Error::os(os_error_text(EIO)));
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    return Result<ReceivedRecord>(failure(errno));
  }
}

std::optional<Result<ReceivedRecord>> CanSocket::ReceiveOp::poll(const rt::Waker& waker) {
  for (;;) {
    auto ready = device_.registration_->poll_ready(rt::Interest::Read, waker);
    if (!ready) return std::nullopt;
    if (std::optional<Result<ReceivedRecord>> got = device_.try_receive()) return got;
    device_.registration_->clear_ready(rt::Interest::Read, *ready);
  }
}

rt::Task<Status> CanSocket::send(uint32_t id, std::vector<uint8_t> data) {
  Result<can_frame> frame = build_can_frame(id, data);
  if (!frame) co_return std::move(frame).error();
  SendOp op(*this, frame.value());
  co_return co_await rt::wait(op);
}

rt::Task<Result<ReceivedRecord>> CanSocket::receive() {
  ReceiveOp op(*this);
  co_return co_await rt::wait(op);
}

}  // namespace varnex
