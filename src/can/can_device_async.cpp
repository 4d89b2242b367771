#include "can/can_device_async.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <variant>

#include "can/can_socket.hpp"
#include "can/provisioning.hpp"
#include "can/reopening_socket.hpp"
#include "common/lock_order.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/repeat_limiter.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

struct CanDeviceAsync::SendPath {
  RankedMutex<LockRank::CanSendPath> mutex;
  CanSocket* socket = nullptr;  // the task's socket while it serves one
  std::size_t backlog = 0;      // frames in the outgoing queue or waiting in the task
  // Set by close() once the queued frames had their time: the task drops what is left and ends.
  rt::Completion give_up;
  // A fault hits every frame (a link down under a 1 kHz loop): one line per second per text.
  RepeatLimiter diagnostics;
  bool short_kernel_queue = false;  // each socket served gets a small send buffer
  // The receive filters of the device: every socket it opens gets them before it is bound, and
  // set_filters() changes them here and on the socket served.
  CanFilters filters;
};

struct CanDeviceAsync::ReceivePath {
  RankedMutex<LockRank::CanReceivePath> mutex;
  CanSocket* socket = nullptr;       // the task's socket while it reads one
  std::optional<Error> handed_over;  // a read error a receive met, for the task to report
  rt::Waker task_reader;             // the task's reading half, to be woken for it
  std::shared_ptr<FrameTap> tap;     // sees every frame read
  bool tap_takes_all = false;        // ... and only it: nothing is queued for receives
  // Error frames: their state noted, and passed on only when the receives asked for them (then
  // the tap sees them too). Set at creation, never replaced.
  std::unique_ptr<ErrorFrames> errors;

  // Shows the frame to the tap; true when it is also for the receives.
  bool offer(const CanMessage& message) {
    if (!tap) return true;
    // The kernel's receive time when the socket stamps frames; else the time of the read.
    const auto read_at = message.received_ns != 0
                             ? std::chrono::system_clock::time_point(
                                   std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                       std::chrono::nanoseconds(message.received_ns)))
                             : std::chrono::system_clock::now();
    tap->seen(message, read_at);
    return !tap_takes_all;
  }
};

namespace {

using SendPath = CanDeviceAsync::SendPath;
using ReceivePath = CanDeviceAsync::ReceivePath;

// Points the short path at `socket` (null: none), under the lock, so that no sender is still
// writing on the one it replaces when that one is closed. A socket opened while set_filters()
// ran gets the filters it set now (an error: the kernel refused them).
Status serve_socket(SendPath& path, CanSocket* socket) {
  std::lock_guard lock(path.mutex);
  path.socket = socket;
  if (socket == nullptr) return {};
  if (path.short_kernel_queue) socket->limit_send_buffer();
  if (socket->filters() != path.filters) return socket->set_filters(path.filters);
  return {};
}

constexpr std::chrono::milliseconds kPauseAfterReadError{100};

// The writing half of one turn of the task: the next queued frame, written. A frame that waits
// for room in the socket stays in `pending`, which outlives the turn, so reading goes on while
// the transmit side is stalled and the frame is written once there is room.
class WriteSide {
 public:
  struct Event {
    bool closed = false;  // every sender is gone and the queue is drained, or given up
    Status status;        // the frame's fate: written, or the write failure
    // The write failed because the socket's interface is gone: the frame stays pending, to be
    // written on a new socket if the interface is back.
    bool interface_gone = false;
  };
  using Output = Event;

  WriteSide(CanSocket& socket, rt::Receiver<can_frame>& outgoing, std::optional<can_frame>& pending,
            rt::Completion& give_up)
      : socket_(socket), outgoing_(outgoing), pending_(pending), give_up_(give_up) {}

  std::optional<Event> poll(const rt::Waker& waker) {
    if (!pending_) {
      auto next = outgoing_.recv_op();
      std::optional<std::optional<can_frame>> got = next.poll(waker);
      if (!got) return std::nullopt;
      if (!*got) return Event{true, {}};
      pending_ = **got;
    }
    CanSocket::SendOp write = socket_.send_op(*pending_);
    std::optional<Status> written = write.poll(waker);
    if (!written) {
      // Only a frame waiting for room can hold close() up; a frame written at once never asks.
      if (give_up_.poll(waker)) return Event{true, {}};
      return std::nullopt;
    }
    if (!*written && socket_.interface_gone()) return Event{false, std::move(*written), true};
    pending_.reset();
    return Event{false, std::move(*written)};
  }

 private:
  CanSocket& socket_;
  rt::Receiver<can_frame>& outgoing_;
  std::optional<can_frame>& pending_;
  rt::Completion& give_up_;
};

// The frames close() gave up on: the one waiting for room and those still queued.
std::size_t count_unwritten(std::optional<can_frame>& pending, rt::Receiver<can_frame>& outgoing) {
  std::size_t lost = pending ? 1 : 0;
  pending.reset();
  while (outgoing.try_recv()) ++lost;
  return lost;
}

// The reading half of one turn: the next frame, queued for the receives (`Status` ok), or the
// read error (its own, or one a receive handed over), or, while reading rests (after a read
// error, or while the interface is gone), nothing once the rest is over. A frame is read and
// queued under the receive path's lock, so a receive reading the socket itself never takes a
// later frame before an earlier one is queued. `nobody_receives` is set when queueing finds
// every receiver gone.
class ReadSide {
 public:
  using Output = std::optional<Status>;

  ReadSide(CanSocket& socket, ReceivePath& path, rt::Sender<CanMessage>& incoming,
           bool& nobody_receives, std::optional<rt::Instant> resting_until)
      : socket_(socket), path_(path), incoming_(incoming), nobody_receives_(nobody_receives) {
    if (resting_until) rest_.emplace(*resting_until);
  }

  std::optional<Output> poll(const rt::Waker& waker) {
    std::lock_guard lock(path_.mutex);
    if (path_.handed_over) {
      Error error = std::move(*path_.handed_over);
      path_.handed_over.reset();
      return Output{Status(std::move(error))};
    }
    path_.task_reader = waker;
    if (rest_) {
      if (!rest_->poll(waker)) return std::nullopt;
      return Output{};
    }
    CanSocket::ReceiveOp read = socket_.receive_op();
    std::optional<Result<ReceivedRecord>> got = read.poll(waker);
    if (!got) return std::nullopt;
    if (!*got) return Output{Status(std::move(*got).error())};
    const ReceivedRecord& record = got->value();
    CanMessage message = parse_can_frame(record.frame, record.received_ns);
    if (!path_.errors->passes(message)) return Output{Status{}};  // for the bus state only
    if (path_.offer(message) && incoming_.send(std::move(message))) nobody_receives_ = true;
    return Output{Status{}};
  }

 private:
  CanSocket& socket_;
  ReceivePath& path_;
  rt::Sender<CanMessage>& incoming_;
  bool& nobody_receives_;
  std::optional<rt::SleepOp> rest_;
};

// Op of a receive: the next frame from the incoming queue, or, when that is empty, read from the
// socket directly (see ReceivePath). Nothing once the task has ended and the queue is empty.
class NextFrame {
 public:
  using Output = std::optional<CanMessage>;

  NextFrame(rt::Receiver<CanMessage>& queue, ReceivePath& path)
      : queue_(queue), queued_(queue.recv_op()), path_(path) {}

  std::optional<Output> poll(const rt::Waker& waker) {
    if (std::optional<std::optional<CanMessage>> got = queued_.poll(waker)) return std::move(*got);
    rt::Waker task_reader;
    {
      std::lock_guard lock(path_.mutex);
      // A frame the task read before we took the lock is queued by now, and goes first.
      if (std::optional<CanMessage> queued = queue_.try_recv()) return Output{std::move(queued)};
      CanSocket* socket = path_.socket;
      if (socket == nullptr || socket->interface_gone() || path_.handed_over ||
          path_.tap_takes_all) {
        return std::nullopt;
      }
      // The task may have just found the socket empty, and the readiness it cleared then comes
      // back only once the reactor thread has seen the next frame: look at the socket first,
      // so a frame already there is not kept waiting for that report. (ReceiveOp itself keeps
      // trusting the report: reading first there would cost the task a second read per frame.)
      std::optional<Result<ReceivedRecord>> got;
      for (;;) {
        got = socket->try_receive();
        if (!got) {
          CanSocket::ReceiveOp read = socket->receive_op();
          got = read.poll(waker);
        }
        if (!got) return std::nullopt;
        if (!*got) break;
        CanMessage message = parse_can_frame(got->value().frame, got->value().received_ns);
        if (!path_.errors->passes(message)) continue;  // an error frame, for the bus state only
        path_.offer(message);
        return Output{std::move(message)};
      }
      // The error is the task's to report (and to act on when the interface is gone).
      path_.handed_over = std::move(*got).error();
      task_reader = std::move(path_.task_reader);
    }
    if (task_reader) task_reader->wake();
    return std::nullopt;  // the queue's waker stays registered
  }

 private:
  rt::Receiver<CanMessage>& queue_;
  rt::Receiver<CanMessage>::RecvOp queued_;
  ReceivePath& path_;
};

void let_receivers_read(ReceivePath& path, CanSocket* socket) {
  std::lock_guard lock(path.mutex);
  path.socket = socket;
}

// The background task's state and the steps of its loop (serve() below). It owns the socket;
// the socket closes when the task ends, which is once the device is gone and every frame it
// queued has been written or reported.
class DeviceTask {
 public:
  DeviceTask(std::string interface, std::unique_ptr<CanSocket> socket,
             rt::Receiver<can_frame> outgoing, std::shared_ptr<SendPath> send_path,
             rt::Sender<CanMessage> incoming, std::shared_ptr<ReceivePath> receive_path)
      : interface_(interface),
        socket_(
            std::move(interface), std::move(socket),
            [path = send_path] {
              std::lock_guard lock(path->mutex);
              return path->filters;
            },
            receive_path->errors->error_mask()),
        outgoing_(std::move(outgoing)),
        send_path_(std::move(send_path)),
        incoming_(std::move(incoming)),
        receive_path_(std::move(receive_path)) {
    serve(socket_.current());
  }

  // Each turn starts by printing the diagnostics that are due and, once, that the interface is
  // gone (then reading rests, and the interface is looked for when the rest is over).
  void start_turn() {
    send_path_->diagnostics.flush();
    if (!serving_->interface_gone() || gone_reported_) return;
    report_gone();
    resting_until_ = rt::Clock::now() + kReopenPollPeriod;
  }

  WriteSide write_side() { return WriteSide(*serving_, outgoing_, pending_, send_path_->give_up); }
  // Once nobody can receive any more (the device and every receive using its queue are gone),
  // reading stops; the frames queued for sending are still written.
  bool reading() const { return !nobody_receives_; }
  ReadSide read_side() {
    return ReadSide(*serving_, *receive_path_, incoming_, nobody_receives_, resting_until_);
  }

  // A frame written, or its write failure; false once the task is to end (see finish()).
  bool written(WriteSide::Event& wrote) {
    if (wrote.closed) {
      finish();
      return false;
    }
    // A frame that found the interface gone goes out on a new socket if it is already back.
    if (wrote.interface_gone && reopen_for_retry()) return true;
    pending_.reset();
    if (!wrote.status) {
      send_path_->diagnostics.report("Failed to send CAN frame: " + wrote.status.error().message,
                                     DiagnosticLevel::Error, {{"interface", interface_}});
    }
    // Counted down only now that the frame is written, so a sender cannot overtake it.
    std::lock_guard lock(send_path_->mutex);
    --send_path_->backlog;
    return true;
  }

  // A frame queued (ok), a read error, or (nothing) the end of a rest.
  void read(const std::optional<Status>& got) {
    if (!got) {
      rest_over();
    } else if (!*got) {
      send_path_->diagnostics.report("Failed to receive CAN frame: " + got->error().message,
                                     DiagnosticLevel::Error, {{"interface", interface_}});
      // The socket's pending error is reported once, but a read that keeps failing would
      // otherwise go round as fast as it fails.
      if (!serving_->interface_gone()) resting_until_ = rt::Clock::now() + kPauseAfterReadError;
    }
  }

 private:
  // Every sender is gone and the queue is drained (the device was destroyed and all it queued
  // has been written), or close() gave up on the rest: the socket closes.
  void finish() {
    serve(nullptr);
    if (std::size_t lost = count_unwritten(pending_, outgoing_); lost > 0) {
      write_stderr(DiagnosticLevel::Warning,
                   "[CAN] Interface '" + interface_ + "' closed with " + std::to_string(lost) +
                       " queued frame(s) not written within " +
                       std::to_string(kCloseDrainLimit.count()) + " s; they are lost\n",
                   {{"interface", interface_}});
    }
    (void)socket_.close();  // closed before the task counts as ended, which close() waits for
  }

  // After a rest: while the interface is gone, look for it again.
  void rest_over() {
    resting_until_.reset();
    ReopeningSocket::Look look = socket_.look();
    switch (look.outcome) {
      case ReopeningSocket::Outcome::Usable:
        return;
      case ReopeningSocket::Outcome::Reopened:
        reopened();
        return;
      case ReopeningSocket::Outcome::CannotOpen:
        send_path_->diagnostics.report("[CAN] Interface '" + interface_ +
                                           "' is back but cannot be opened: " + look.error.message,
                                       DiagnosticLevel::Warning, {{"interface", interface_}});
        break;
      case ReopeningSocket::Outcome::Missing:
        break;  // nothing new to say: the removal was reported
    }
    resting_until_ = rt::Clock::now() + kReopenPollPeriod;
  }

  // True when the pending frame can be written again on a new socket.
  bool reopen_for_retry() {
    if (socket_.retry_socket(*serving_) == nullptr) return false;
    if (!gone_reported_) report_gone();
    reopened();
    return true;
  }

  void reopened() {
    serve(socket_.current());
    resting_until_.reset();
    gone_reported_ = false;
    write_stderr(DiagnosticLevel::Info,
                 "[CAN] Interface '" + interface_ + "' is back; socket reopened\n",
                 {{"interface", interface_}});
  }

  void report_gone() {
    gone_reported_ = true;
    write_stderr(DiagnosticLevel::Warning,
                 "[CAN] Interface '" + interface_ +
                     "' is gone; its socket will be reopened when it is back\n",
                 {{"interface", interface_}});
  }

  // Points both paths at `socket` (null: none) before the one they used may close.
  void serve(std::shared_ptr<CanSocket> socket) {
    if (Status filtered = serve_socket(*send_path_, socket.get()); !filtered) {
      write_stderr(DiagnosticLevel::Error,
                   "[CAN] Interface '" + interface_ +
                       "': the receive filters could not be applied: " + filtered.error().message +
                       "\n",
                   {{"interface", interface_}});
    }
    let_receivers_read(*receive_path_, socket.get());
    serving_ = std::move(socket);
  }

  const std::string interface_;
  ReopeningSocket socket_;
  std::shared_ptr<CanSocket> serving_;  // what the paths point at
  rt::Receiver<can_frame> outgoing_;
  std::shared_ptr<SendPath> send_path_;
  rt::Sender<CanMessage> incoming_;
  std::shared_ptr<ReceivePath> receive_path_;
  std::optional<can_frame> pending_;
  std::optional<rt::Instant> resting_until_;  // reading rests until then
  bool gone_reported_ = false;
  bool nobody_receives_ = false;
};

// The background task: each turn writes a queued frame or reads one, whichever is ready first.
rt::Task<void> serve(DeviceTask task) {
  for (;;) {
    task.start_turn();
    WriteSide write = task.write_side();
    std::variant<WriteSide::Event, ReadSide::Output> event;
    if (task.reading()) {
      ReadSide read = task.read_side();
      rt::Select2 either(write, read);
      event = co_await rt::wait(either);
    } else {
      // Only the queued frames are left to write; the device is gone, so the queue closes soon.
      event.emplace<0>(co_await rt::wait(write));
    }
    if (event.index() == 1) {
      task.read(std::get<1>(event));
    } else if (!task.written(std::get<0>(event))) {
      co_return;
    }
  }
}

// The receive under the mutex: the mutex wait comes first and is not counted in the time-out.
rt::Task<std::optional<CanMessage>> receive_with_timeout(
    std::shared_ptr<CanDeviceAsync::Incoming> incoming, std::chrono::nanoseconds limit) {
  rt::LockOp lock = incoming->mutex().lock_op();
  rt::AsyncMutexGuard guard = co_await rt::wait(lock);
  const std::optional<rt::Instant> deadline = rt::deadline_after(limit);
  CanDeviceAsync::IncomingQueue& queue = incoming->value_unsafe();
  if (std::optional<CanMessage> back = std::exchange(queue.handed_back, std::nullopt)) {
    co_return back;
  }
  auto next = queue.queued.recv_op();
  std::optional<std::optional<CanMessage>> got = co_await rt::timeout(deadline, next);
  if (!got) co_return std::nullopt;  // timed out
  co_return std::move(*got);         // a frame, or nothing once the task has ended
}

}  // namespace

Result<std::shared_ptr<CanDeviceAsync>> CanDeviceAsync::create(const std::string& interface,
                                                               std::string owner,
                                                               const CanFilters& filters,
                                                               uint32_t error_frames,
                                                               uint32_t bitrate) {
  auto receive_path = std::make_shared<ReceivePath>();
  receive_path->errors = std::make_unique<ErrorFrames>(error_frames);
  // Provisioning runs child processes: on a worker, hand its place over for that time too.
  Result<std::unique_ptr<CanSocket>> opened =
      rt::block_in_place([&]() -> Result<std::unique_ptr<CanSocket>> {
        if (Status provisioned = ensure_can_interface(interface, bitrate); !provisioned) {
          return std::move(provisioned).error();
        }
        return CanSocket::open(interface, filters, receive_path->errors->error_mask());
      });
  if (!opened) return std::move(opened).error();

  auto [outgoing_tx, outgoing_rx] = rt::make_channel<can_frame>();
  auto [incoming_tx, incoming_rx] = rt::make_channel<CanMessage>();
  auto incoming = std::make_shared<Incoming>(std::move(incoming_rx));
  auto send_path = std::make_shared<SendPath>();
  send_path->filters = filters;
  rt::JoinHandle<void> task =
      rt::spawn(serve(DeviceTask(interface, std::move(opened).value(), std::move(outgoing_rx),
                                 send_path, std::move(incoming_tx), receive_path)));
  return std::shared_ptr<CanDeviceAsync>(
      new CanDeviceAsync(interface, std::move(owner), std::move(outgoing_tx), std::move(send_path),
                         std::move(incoming), std::move(receive_path), std::move(task)));
}

BusState CanDeviceAsync::bus_state() { return receive_path_->errors->bus_state(interface_); }

Status CanDeviceAsync::usable() const {
  if (inherited()) return inherited_error();
  if (closed()) return closed_error();
  return {};
}

std::optional<CanMessage> CanDeviceAsync::IncomingQueue::take() {
  if (handed_back) return std::exchange(handed_back, std::nullopt);
  return queued.try_recv();
}

Status CanDeviceAsync::send_nonblocking(uint32_t id, std::vector<uint8_t> data) {
  if (inherited()) return inherited_error();
  Result<can_frame> frame = build_can_frame(id, data);
  if (!frame) return std::move(frame).error();
  return send_frame_nonblocking(frame.value());
}

Status CanDeviceAsync::send_frame_nonblocking(const can_frame& frame) {
  if (inherited()) return inherited_error();
  const uint32_t id = frame.can_id & CAN_EFF_MASK;
  std::unique_lock lock(send_path_->mutex);
  if (!outgoing_) return closed_error();
  CanSocket* socket = send_path_->socket;
  if (send_path_->backlog == 0 && socket != nullptr && !socket->interface_gone()) {
    std::optional<Status> wrote = socket->try_send(frame);
    // A write that finds the interface gone leaves the frame to the task, which writes it on a
    // new socket if the interface is back, or reports the failure.
    if (wrote && (*wrote || !socket->interface_gone())) {
      lock.unlock();
      if (!*wrote) {
        send_path_->diagnostics.report("Failed to send CAN frame: " + wrote->error().message,
                                       DiagnosticLevel::Error,
                                       {{"interface", interface_}, {"can_id", std::uint64_t{id}}});
      }
      return {};
    }
  }
  // The send buffer is full, frames are queued ahead or the interface is gone: the task writes
  // it, in turn.
  if (outgoing_->send(frame)) return Error::os("channel closed");
  ++send_path_->backlog;
  return {};
}

Result<CanDeviceAsync::Sent> CanDeviceAsync::send_now(uint32_t id, std::span<const uint8_t> data) {
  Result<can_frame> frame = build_can_frame(id, data);
  if (!frame) return std::move(frame).error();
  std::lock_guard lock(send_path_->mutex);
  if (!outgoing_) return closed_error();
  // Frames queued ahead go first, in order; this one does not wait behind them.
  if (send_path_->backlog != 0 || send_path_->socket == nullptr) return Sent::NoRoom;
  std::optional<Status> wrote = send_path_->socket->try_send(frame.value());
  if (!wrote) return Sent::NoRoom;
  if (!*wrote) return std::move(*wrote).error();
  return Sent::Written;
}

Status CanDeviceAsync::set_filters(const CanFilters& filters) {
  if (Status status = usable(); !status) return status;
  std::lock_guard lock(send_path_->mutex);
  if (!outgoing_) return closed_error();
  // Null only once the task has ended; a socket whose interface is gone takes them too, and
  // one opened meanwhile gets them when it is served.
  if (send_path_->socket != nullptr) {
    if (Status applied = send_path_->socket->set_filters(filters); !applied) return applied;
  }
  send_path_->filters = filters;
  return {};
}

void CanDeviceAsync::keep_kernel_queue_short() {
  std::lock_guard lock(send_path_->mutex);
  if (send_path_->short_kernel_queue) return;
  send_path_->short_kernel_queue = true;
  if (send_path_->socket != nullptr) send_path_->socket->limit_send_buffer();
}

bool CanDeviceAsync::attach_tap(std::shared_ptr<FrameTap> tap, bool takes_all) {
  std::lock_guard lock(receive_path_->mutex);
  if (receive_path_->tap) return false;
  receive_path_->tap = std::move(tap);
  receive_path_->tap_takes_all = takes_all;
  return true;
}

void CanDeviceAsync::detach_tap(const FrameTap* tap) {
  std::shared_ptr<FrameTap> detached;  // released after the lock
  std::lock_guard lock(receive_path_->mutex);
  if (receive_path_->tap.get() != tap) return;
  detached = std::move(receive_path_->tap);
  receive_path_->tap_takes_all = false;
}

void CanDeviceAsync::close() {
  if (inherited()) return;  // the task and its socket are the parent's
  {
    std::lock_guard lock(send_path_->mutex);
    if (!outgoing_) return;
    closed_.store(true, std::memory_order_release);
    outgoing_.reset();  // the queue closes: the task writes what is in it, then ends
  }
  const rt::Completion& ended = task_.state()->finished();
  rt::block_in_place([&] {
    if (ended.wait_until(rt::Clock::now() + kCloseDrainLimit)) return;
    // A stalled transmit queue: the task reports what it could not write and ends at once.
    send_path_->give_up.set();
    ended.wait_until(std::nullopt);
  });
}

Result<rt::OpWait<CanMessage>> CanDeviceAsync::try_receive(const ReceiveHooks& hooks) {
  return receive(
      std::nullopt, [] { return std::optional<rt::Instant>(); }, false, hooks);
}

std::optional<Result<std::optional<CanMessage>>> CanDeviceAsync::try_receive_if_free() {
  if (Status status = usable(); !status)
    return Result<std::optional<CanMessage>>(std::move(status).error());
  // The caller keeps the device, and so its queue, alive for the call.
  ReceiveTurn turn(this, incoming_->mutex());
  if (!turn.take_if_free()) return std::nullopt;
  return Result<std::optional<CanMessage>>(incoming_->value_unsafe().take());
}

Result<std::optional<CanMessage>> CanDeviceAsync::try_receive() {
  Result<rt::OpWait<CanMessage>> got = try_receive({});
  if (!got) return std::move(got).error();
  return std::move(got->value);
}

Result<rt::OpWait<CanMessage>> CanDeviceAsync::receive_timeout(
    std::optional<std::chrono::nanoseconds> limit, const ReceiveHooks& hooks) {
  // The time-out starts once the receive turn is held.
  return receive(
      std::nullopt, [limit] { return limit ? rt::deadline_after(*limit) : std::nullopt; }, true,
      hooks);
}

Result<std::optional<CanMessage>> CanDeviceAsync::receive_timeout(
    std::optional<std::chrono::nanoseconds> limit) {
  Result<rt::OpWait<CanMessage>> got = receive_timeout(limit, {});
  if (!got) return std::move(got).error();
  return std::move(got->value);
}

rt::Task<std::optional<CanMessage>> CanDeviceAsync::receive_timeout_async(
    std::chrono::nanoseconds limit) {
  return receive_with_timeout(incoming_, limit);
}

Result<rt::OpWait<CanMessage>> CanDeviceAsync::receive_until(std::optional<rt::Instant> deadline,
                                                             const ReceiveHooks& hooks) {
  return receive(
      deadline, [deadline] { return deadline; }, true, hooks);
}

Result<rt::OpWait<CanMessage>> CanDeviceAsync::receive(
    std::optional<rt::Instant> lock_deadline,
    const std::function<std::optional<rt::Instant>()>& deadline_once_locked, bool wait_for_frame,
    const ReceiveHooks& hooks) {
  if (Status status = usable(); !status) return std::move(status).error();
  std::shared_ptr<Incoming> incoming = incoming_;  // kept for the whole receive
  ReceiveTurn turn(this, incoming->mutex());
  switch (turn.take(lock_deadline, hooks)) {
    case ReceiveTurn::Outcome::Held:
      break;
    case ReceiveTurn::Outcome::Nested:
      return Error::runtime(kNestedReceive);
    case ReceiveTurn::Outcome::TimedOut:
      return rt::OpWait<CanMessage>{};  // the deadline passed while another receive ran
    case ReceiveTurn::Outcome::Interrupted:
      return rt::OpWait<CanMessage>{std::nullopt, rt::WaitEnd::Interrupted};
  }
  const std::optional<rt::Instant> deadline = deadline_once_locked();
  IncomingQueue& queue = incoming->value_unsafe();
  std::optional<CanMessage> message = queue.take();
  if (!message && wait_for_frame) {
    std::shared_ptr<ReceivePath> path = receive_path_;  // kept like the queue, for the whole wait
    NextFrame next(queue.queued, *path);
    rt::OpWait<std::optional<CanMessage>> got = wait_sliced(next, deadline, hooks.interrupted);
    if (got.end == rt::WaitEnd::Interrupted) {
      return rt::OpWait<CanMessage>{std::nullopt, rt::WaitEnd::Interrupted};
    }
    if (got.value) message = std::move(*got.value);  // else timed out
  }
  if (!message) return rt::OpWait<CanMessage>{};
  return hand_over(std::move(*message), queue.handed_back, hooks);
}

}  // namespace varnex
