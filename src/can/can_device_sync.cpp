#include "can/can_device_sync.hpp"

#include "can/provisioning.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

Result<std::shared_ptr<CanDeviceSync>> CanDeviceSync::create(const std::string& interface,
                                                             const CanFilters& filters,
                                                             uint32_t bitrate) {
  if (Status provisioned = ensure_can_interface(interface, bitrate); !provisioned) {
    return std::move(provisioned).error();
  }
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open(interface, filters);
  if (!opened) return std::move(opened).error();
  return std::make_shared<CanDeviceSync>(std::move(opened).value(), interface, filters);
}

Result<std::shared_ptr<CanDeviceSync>> CanDeviceSync::reopen_inherited(
    const CanDeviceSync& inherited) {
  if (inherited.closed()) {
    auto closed = std::make_shared<CanDeviceSync>(nullptr, inherited.interface_);
    closed->close();
    return closed;
  }
  // Read without the inherited lock (a parent thread may have held it at the fork): only
  // set_filters writes them, and only a fork in the middle of one would find them half written.
  const CanFilters& filters = inherited.filters_;
  Result<std::unique_ptr<CanDevice>> opened = CanDevice::open(inherited.interface_, filters);
  if (!opened) return std::move(opened).error();
  return std::make_shared<CanDeviceSync>(std::move(opened).value(), inherited.interface_, filters);
}

void CanDeviceSync::close() {
  std::shared_ptr<CanDevice> socket;
  {
    std::lock_guard lock(mutex_);
    socket = socket_.close();
  }
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
SlicedWait<Out> CanDeviceSync::wait_unless_closed(Op& op, std::optional<rt::Instant> deadline,
                                                  const InterruptCheck& interrupted) {
  UnlessClosed<Op> unless_closed(op, closed_);
  SlicedWait<std::optional<Out>> got = wait_sliced(unless_closed, deadline, interrupted);
  if (!got.value) return {std::nullopt, got.interrupted};
  if (!*got.value) return {Out(closed_error()), false};
  return {std::move(**got.value), false};
}

Result<std::shared_ptr<CanDevice>> CanDeviceSync::current_socket() {
  std::lock_guard lock(mutex_);
  if (socket_.closed()) return closed_error();
  ReopeningSocket::Look look = socket_.look();
  if (!look.usable()) return std::move(look.error);
  return socket_.current();
}

SlicedWait<Status> CanDeviceSync::write(std::shared_ptr<CanDevice> socket, const can_frame& frame,
                                        const InterruptCheck& interrupted) {
  for (int attempt = 0;; ++attempt) {
    // One op for the whole wait: it writes the record once, when the socket has room, so a
    // frame is never written twice however many slices the wait takes.
    CanDevice::SendOp op = socket->send_op(frame);
    SlicedWait<Status> wrote = wait_unless_closed(op, std::nullopt, interrupted);
    if (attempt > 0 || !wrote.value || *wrote.value) return wrote;
    std::shared_ptr<CanDevice> again;
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

SlicedWait<Status> CanDeviceSync::send_interruptible(uint32_t id, std::vector<uint8_t> data,
                                                     const InterruptCheck& interrupted) {
  Result<can_frame> frame = build_can_frame(id, data);
  if (!frame) return {Status(std::move(frame).error()), false};
  // A removed interface that is back gets a new socket; while it is missing the opening error
  // is the answer.
  Result<std::shared_ptr<CanDevice>> socket = current_socket();
  if (!socket) return {Status(std::move(socket).error()), false};
  return write(std::move(socket).value(), frame.value(), interrupted);
}

Result<CanMessage> CanDeviceSync::receive() {
  SlicedWait<Result<CanMessage>> got = receive_until(std::nullopt, {});
  return std::move(*got.value);
}

SlicedWait<Result<CanMessage>> CanDeviceSync::receive_until(std::optional<rt::Instant> deadline,
                                                            const ReceiveHooks& hooks) {
  if (closed()) return {Result<CanMessage>(closed_error()), false};
  ReceiveTurn turn(this, turn_.mutex());
  switch (turn.take(deadline, hooks)) {
    case ReceiveTurn::Outcome::Held:
      break;
    case ReceiveTurn::Outcome::Nested:
      return {Result<CanMessage>(Error::runtime(kNestedReceive)), false};
    case ReceiveTurn::Outcome::TimedOut:
      return {};
    case ReceiveTurn::Outcome::Interrupted:
      return {std::nullopt, true};
  }
  std::optional<CanMessage>& handed_back = turn_.value_unsafe();
  if (handed_back) {
    CanMessage frame = std::move(*handed_back);
    handed_back.reset();
    SlicedWait<CanMessage> handed = hand_over(std::move(frame), handed_back, hooks);
    if (handed.interrupted) return {std::nullopt, true};
    return {Result<CanMessage>(std::move(*handed.value)), false};
  }
  const InterruptCheck& interrupted = hooks.interrupted;
  std::shared_ptr<CanDevice> socket;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (socket_.closed()) return {Result<CanMessage>(closed_error()), false};
      ReopeningSocket::Look look = socket_.look();
      if (look.usable()) {
        socket = socket_.current();
        break;
      }
      if (look.outcome == ReopeningSocket::Outcome::CannotOpen) {
        return {Result<CanMessage>(std::move(look.error)), false};
      }
    }
    // Nothing to wait on while no interface has the name: look again every kReopenPollPeriod.
    rt::Instant next_look = rt::Clock::now() + kReopenPollPeriod;
    if (deadline && *deadline < next_look) next_look = *deadline;
    rt::SleepOp pause(next_look);
    UnlessClosed<rt::SleepOp> pause_or_close(pause, closed_);
    if (wait_sliced(pause_or_close, std::nullopt, interrupted).interrupted) return {std::nullopt, true};
    if (closed()) continue;  // answered at the top
    if (deadline && rt::Clock::now() >= *deadline) return {};
  }
  CanDevice::ReceiveOp op = socket->receive_op();
  SlicedWait<Result<ReceivedRecord>> got = wait_unless_closed(op, deadline, interrupted);
  if (!got.value) return {std::nullopt, got.interrupted};
  if (!*got.value) return {Result<CanMessage>(std::move(*got.value).error()), false};
  const ReceivedRecord& record = got.value->value();
  SlicedWait<CanMessage> handed =
      hand_over(parse_can_frame(record.frame, record.received_ns), handed_back, hooks);
  if (handed.interrupted) return {std::nullopt, true};
  return {Result<CanMessage>(std::move(*handed.value)), false};
}

}  // namespace varnex
