#include "can/can_device_async.hpp"

#include <algorithm>
#include <chrono>
#include <variant>

#include "can/can_socket.hpp"
#include "can/provisioning.hpp"
#include "common/diagnostics.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {
namespace {

constexpr std::chrono::milliseconds kPauseAfterReadError{100};

void report(const char* what, const Error& error) {
  write_stderr(std::string(what) + error.message + "\n");
}

// The background task. It owns the socket; the socket closes when the task ends.
rt::Task<void> serve(std::unique_ptr<CanDevice> socket, rt::Receiver<CanMessage> outgoing,
                     rt::Sender<CanMessage> incoming) {
  for (;;) {
    auto next_outgoing = outgoing.recv_op();
    CanDevice::ReceiveOp next_frame = socket->receive_op();
    rt::Select2 either(next_outgoing, next_frame);
    auto event = co_await rt::wait(either);

    if (event.index() == 0) {
      std::optional<CanMessage>& message = std::get<0>(event);
      // Every sender is gone and the queue is drained: the device was destroyed and all it
      // queued has been written.
      if (!message) co_return;
      Result<can_frame> frame = build_can_frame(message->id, message->data);
      if (!frame) {
        report("Failed to send CAN frame: ", frame.error());
        continue;
      }
      CanDevice::SendOp write = socket->send_op(frame.value());
      Status written = co_await rt::wait(write);
      if (!written) report("Failed to send CAN frame: ", written.error());
      continue;
    }

    Result<can_frame>& frame = std::get<1>(event);
    if (!frame) {
      report("Failed to receive CAN frame: ", frame.error());
      // A persistent fault (interface down) would otherwise print as fast as reads fail.
      co_await rt::sleep_for(kPauseAfterReadError);
      continue;
    }
    // Nobody can receive any more: the device and every receive using its queue are gone.
    if (incoming.send(parse_can_frame(frame.value()))) co_return;
  }
}

// The receive under the mutex: the mutex wait comes first and is not counted in the time-out.
rt::Task<std::optional<CanMessage>> receive_with_timeout(
    std::shared_ptr<CanDeviceAsync::Incoming> incoming, uint64_t timeout_ms) {
  rt::LockOp lock = incoming->mutex().lock_op();
  rt::AsyncMutexGuard guard = co_await rt::wait(lock);
  const std::optional<rt::Instant> deadline = rt::deadline_after_ms(timeout_ms);
  auto next = incoming->value_unsafe().recv_op();
  std::optional<std::optional<CanMessage>> got = co_await rt::timeout(deadline, next);
  if (!got) co_return std::nullopt;  // timed out
  co_return std::move(*got);         // a frame, or nothing once the task has ended
}

// Marks the calling thread as receiving on one device for the duration of a blocking receive.
// The marks are per thread, so no lock guards them; they are compared, never dereferenced.
class ReceivingHere {
 public:
  explicit ReceivingHere(const CanDeviceAsync& device) : device_(&device) {
    first_ = std::find(receiving_.begin(), receiving_.end(), device_) == receiving_.end();
    if (first_) receiving_.push_back(device_);
  }
  ReceivingHere(const ReceivingHere&) = delete;
  ReceivingHere& operator=(const ReceivingHere&) = delete;
  ~ReceivingHere() {
    if (first_) receiving_.erase(std::find(receiving_.begin(), receiving_.end(), device_));
  }

  // False: this thread is already receiving on the device, further up its stack.
  bool first() const { return first_; }

 private:
  static thread_local std::vector<const CanDeviceAsync*> receiving_;
  const CanDeviceAsync* device_;
  bool first_;
};

thread_local std::vector<const CanDeviceAsync*> ReceivingHere::receiving_;

}  // namespace

Result<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::create(const std::string& interface) {
  // Provisioning runs child processes: on a worker, hand its place over for that time too.
  Result<std::unique_ptr<CanDevice>> opened = rt::block_in_place([&]() -> Result<std::unique_ptr<CanDevice>> {
    if (Status provisioned = ensure_can_interface(interface); !provisioned) {
      return std::move(provisioned).error();
    }
    return CanDevice::open_blocking(interface);
  });
  if (!opened) return std::move(opened).error();

  auto [outgoing_tx, outgoing_rx] = rt::make_channel<CanMessage>();
  auto [incoming_tx, incoming_rx] = rt::make_channel<CanMessage>();
  auto incoming = std::make_shared<Incoming>(std::move(incoming_rx));
  rt::JoinHandle<void> task =
      rt::spawn(serve(std::move(opened).value(), std::move(outgoing_rx), std::move(incoming_tx)));
  return std::shared_ptr<CanDeviceAsync>(new CanDeviceAsync(
      interface, std::move(outgoing_tx), std::move(incoming), std::move(task)));
}

Status CanDeviceAsync::send_nonblocking(uint32_t id, std::vector<uint8_t> data) {
  if (Result<can_frame> frame = build_can_frame(id, data); !frame) return std::move(frame).error();
  if (outgoing_.send(CanMessage{id, std::move(data)})) return Error::os("channel closed");
  return {};
}

Result<std::optional<CanMessage>> CanDeviceAsync::try_receive() {
  ReceivingHere here(*this);
  if (!here.first()) return Error::runtime(kNestedReceive);
  std::shared_ptr<Incoming> incoming = incoming_;
  std::optional<rt::AsyncMutexGuard> guard = incoming->mutex().try_lock();
  if (!guard) {
    rt::LockOp lock = incoming->mutex().lock_op();
    guard = std::move(wait_sliced(lock, std::nullopt, {}).value);
  }
  return incoming->value_unsafe().try_recv();
}

Result<std::optional<CanMessage>> CanDeviceAsync::receive_timeout(uint64_t timeout_ms) {
  Result<TimedReceive> got = receive_timeout_interruptible(timeout_ms, {});
  if (!got) return std::move(got).error();
  return std::move(got->message);
}

rt::Task<std::optional<CanMessage>> CanDeviceAsync::receive_timeout_async(uint64_t timeout_ms) {
  return receive_with_timeout(incoming_, timeout_ms);
}

Result<CanDeviceAsync::TimedReceive> CanDeviceAsync::receive_timeout_interruptible(
    uint64_t timeout_ms, const InterruptCheck& interrupted) {
  ReceivingHere here(*this);
  if (!here.first()) return Error::runtime(kNestedReceive);
  std::shared_ptr<Incoming> incoming = incoming_;
  std::optional<rt::AsyncMutexGuard> guard = incoming->mutex().try_lock();
  if (!guard) {
    rt::LockOp lock = incoming->mutex().lock_op();
    SlicedWait<rt::AsyncMutexGuard> locked = wait_sliced(lock, std::nullopt, interrupted);
    if (locked.interrupted) return TimedReceive{std::nullopt, true};
    guard = std::move(locked.value);
  }
  const std::optional<rt::Instant> deadline = rt::deadline_after_ms(timeout_ms);
  rt::Receiver<CanMessage>& queue = incoming->value_unsafe();
  if (std::optional<CanMessage> queued = queue.try_recv()) return TimedReceive{std::move(queued)};
  auto next = queue.recv_op();
  SlicedWait<std::optional<CanMessage>> got = wait_sliced(next, deadline, interrupted);
  if (got.interrupted) return TimedReceive{std::nullopt, true};
  if (!got.value) return TimedReceive{};  // timed out
  return TimedReceive{std::move(*got.value)};
}

}  // namespace varnex
