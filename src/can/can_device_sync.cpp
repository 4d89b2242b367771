#include "can/can_device_sync.hpp"

#include "can/provisioning.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

Result<std::shared_ptr<CanDeviceSync>> CanDeviceSync::create(const std::string& interface,
                                                             const CanFilters& filters,
                                                             uint32_t error_frames,
                                                             uint32_t bitrate) {
  if (Status provisioned = ensure_can_interface(interface, bitrate); !provisioned) {
    return std::move(provisioned).error();
  }
  Result<std::unique_ptr<CanSocket>> opened =
      CanSocket::open(interface, filters, ErrorFrames(error_frames).delivered());
  if (!opened) return std::move(opened).error();
  return std::make_shared<CanDeviceSync>(std::move(opened).value(), interface, filters,
                                         error_frames);
}

Result<std::shared_ptr<CanDeviceSync>> CanDeviceSync::reopen_inherited(
    const CanDeviceSync& inherited) {
  if (inherited.closed()) {
    auto closed = std::make_shared<CanDeviceSync>(nullptr, inherited.interface_, std::nullopt,
                                                  inherited.errors_.delivered());
    closed->close();
    return closed;
  }
  // Read without the inherited lock (a parent thread may have held it at the fork): only
  // set_filters writes them, and only a fork in the middle of one would find them half written.
  const CanFilters& filters = inherited.filters_;
  Result<std::unique_ptr<CanSocket>> opened =
      CanSocket::open(inherited.interface_, filters, inherited.errors_.delivered());
  if (!opened) return std::move(opened).error();
  return std::make_shared<CanDeviceSync>(std::move(opened).value(), inherited.interface_, filters,
                                         inherited.errors_.delivered());
}

void CanDeviceSync::close() {
  std::shared_ptr<CanSocket> socket;
  {
    std::lock_guard lock(mutex_);
    socket = socket_.close();
  }
  // Its state frames stop with it; bus_state() reads the link alone from here on.
  state_frames_.close();
  // Calls in progress hold the socket until they see this; the last of them closes it.
  closed_.set();
}

Status CanDeviceSync::set_filters(const CanFilters& filters) {
  std::lock_guard lock(mutex_);
  if (socket_.closed()) return closed_error();
  if (Status applied = socket_.current()->set_filters(filters); !applied) return applied;
  filters_ = filters;
  return {};
}

bool CanDeviceSync::closed() const { return closed_.is_set(); }

template <class Op, class Out>
rt::OpWait<Out> CanDeviceSync::wait_unless_closed(Op& op, std::optional<rt::Instant> deadline,
                                                  const InterruptCheck& interrupted) {
  UnlessClosed<Op> unless_closed(op, closed_);
  rt::OpWait<std::optional<Out>> got = wait_sliced(unless_closed, deadline, interrupted);
  if (!got.value) return {std::nullopt, got.end};
  if (!*got.value) return {Out(closed_error()), rt::WaitEnd::Done};
  return {std::move(**got.value), rt::WaitEnd::Done};
}

Result<std::shared_ptr<CanSocket>> CanDeviceSync::current_socket() {
  std::lock_guard lock(mutex_);
  if (socket_.closed()) return closed_error();
  ReopeningSocket::Look look = socket_.look();
  if (!look.usable()) return std::move(look.error);
  return socket_.current();
}

rt::OpWait<Status> CanDeviceSync::write(std::shared_ptr<CanSocket> socket, const can_frame& frame,
                                        const InterruptCheck& interrupted) {
  for (int attempt = 0;; ++attempt) {
    // One op for the whole wait: it writes the record once, when the socket has room, so a
    // frame is never written twice however many slices the wait takes.
    CanSocket::SendOp op = socket->send_op(frame);
    rt::OpWait<Status> wrote = wait_unless_closed(op, std::nullopt, interrupted);
    if (attempt > 0 || !wrote.value || *wrote.value) return wrote;
    std::shared_ptr<CanSocket> again;
    {
      std::lock_guard lock(mutex_);
      again = socket_.retry_socket(*socket);
    }
    if (again == nullptr) return wrote;
    socket = std::move(again);
  }
}

Status CanDeviceSync::send(uint32_t id, std::vector<uint8_t> data) {
  return std::move(*send_interruptible(id, std::move(data), {}).value);
}

rt::OpWait<Status> CanDeviceSync::send_interruptible(uint32_t id, std::vector<uint8_t> data,
                                                     const InterruptCheck& interrupted) {
  Result<can_frame> frame = build_can_frame(id, data);
  if (!frame) return {Status(std::move(frame).error()), rt::WaitEnd::Done};
  // A removed interface that is back gets a new socket; while it is missing the opening error
  // is the answer.
  Result<std::shared_ptr<CanSocket>> socket = current_socket();
  if (!socket) return {Status(std::move(socket).error()), rt::WaitEnd::Done};
  return write(std::move(socket).value(), frame.value(), interrupted);
}

Result<CanMessage> CanDeviceSync::receive() {
  rt::OpWait<Result<CanMessage>> got = receive_until(std::nullopt, {});
  return std::move(*got.value);
}

rt::OpWait<Result<CanMessage>> CanDeviceSync::receive_until(std::optional<rt::Instant> deadline,
                                                            const ReceiveHooks& hooks) {
  if (closed()) return {Result<CanMessage>(closed_error()), rt::WaitEnd::Done};
  ReceiveTurn turn(this, turn_.mutex());
  switch (turn.take(deadline, hooks)) {
    case ReceiveTurn::Outcome::Held:
      break;
    case ReceiveTurn::Outcome::Nested:
      return {Result<CanMessage>(Error::runtime(kNestedReceive)), rt::WaitEnd::Done};
    case ReceiveTurn::Outcome::TimedOut:
      return {};
    case ReceiveTurn::Outcome::Interrupted:
      return {std::nullopt, rt::WaitEnd::Interrupted};
  }
  std::optional<CanMessage>& handed_back = turn_.value_unsafe();
  if (handed_back) {
    CanMessage frame = std::move(*handed_back);
    handed_back.reset();
    rt::OpWait<CanMessage> handed = hand_over(std::move(frame), handed_back, hooks);
    if (handed.end == rt::WaitEnd::Interrupted) return {std::nullopt, rt::WaitEnd::Interrupted};
    return {Result<CanMessage>(std::move(*handed.value)), rt::WaitEnd::Done};
  }
  const InterruptCheck& interrupted = hooks.interrupted;
  std::shared_ptr<CanSocket> socket;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (socket_.closed()) return {Result<CanMessage>(closed_error()), rt::WaitEnd::Done};
      ReopeningSocket::Look look = socket_.look();
      if (look.usable()) {
        socket = socket_.current();
        break;
      }
      if (look.outcome == ReopeningSocket::Outcome::CannotOpen) {
        return {Result<CanMessage>(std::move(look.error)), rt::WaitEnd::Done};
      }
    }
    // Nothing to wait on while no interface has the name: look again every kReopenPollPeriod.
    rt::Instant next_look = rt::Clock::now() + kReopenPollPeriod;
    if (deadline && *deadline < next_look) next_look = *deadline;
    rt::SleepOp pause(next_look);
    UnlessClosed<rt::SleepOp> pause_or_close(pause, closed_);
    if (wait_sliced(pause_or_close, std::nullopt, interrupted).end == rt::WaitEnd::Interrupted) {
      return {std::nullopt, rt::WaitEnd::Interrupted};
    }
    if (closed()) continue;  // answered at the top
    if (deadline && rt::Clock::now() >= *deadline) return {};
  }
  for (;;) {
    CanSocket::ReceiveOp op = socket->receive_op();
    rt::OpWait<Result<ReceivedRecord>> got = wait_unless_closed(op, deadline, interrupted);
    if (!got.value) return {std::nullopt, got.end};
    if (!*got.value) return {Result<CanMessage>(std::move(*got.value).error()), rt::WaitEnd::Done};
    const ReceivedRecord& record = got.value->value();
    CanMessage message = parse_can_frame(record.frame, record.received_ns);
    if (!errors_.passes(message)) continue;  // an error frame, for the bus state only
    rt::OpWait<CanMessage> handed = hand_over(std::move(message), handed_back, hooks);
    if (handed.end == rt::WaitEnd::Interrupted) return {std::nullopt, rt::WaitEnd::Interrupted};
    return {Result<CanMessage>(std::move(*handed.value)), rt::WaitEnd::Done};
  }
}

}  // namespace varnex
