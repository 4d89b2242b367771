// CanDeviceAsync: a CAN device whose socket is owned by a background task on the shared runtime.
//
// Users exchange frames with the task through two unbounded queues: send_nonblocking() appends
// to the outgoing queue and never waits; received frames wait in the incoming queue, behind a
// FIFO async mutex that serialises receives (first come, first served). The task picks fairly
// at random between writing an outgoing frame and reading one, so neither direction can starve
// the other, and it goes on reading while a frame waits for room in a stalled transmit queue.
// It reads continuously, whether or not anyone receives.
//
// The short path: a frame sent while nothing is queued ahead of it (no frame in the outgoing
// queue, none waiting in the task) and while the socket has room is written by the sender
// itself, so it does not wait for the task to be scheduled on a worker. Senders and the task
// agree on that under one lock (SendPath), which also keeps the frames in the order of the
// send calls. Only a frame that finds the send buffer full, or frames queued ahead, go to the
// task. Likewise a receive that finds the incoming queue empty also reads the socket itself,
// so a frame reaches it without passing through the task; the task reads and queues each frame
// under a lock (ReceivePath) that the receive takes before reading, so frames keep their order.
// A read error such a receive meets is handed to the task, which reports it as its own.
//
// Failures of the task are printed on standard error and it goes on; each distinct line at most
// once a second, later ones counted (see RepeatLimiter):
//   "Failed to send CAN frame: <error>"      write failure (the frame is lost)
//   "Failed to receive CAN frame: <error>"   read failure; reading then rests 100 ms
// When the interface is removed (unplugged adapter, `ip link del`), the task says so once with
// a "[CAN] " line, looks for an interface of the same name every kReopenPollPeriod and, once
// there is one, opens a new socket on it (ReopeningSocket; without provisioning it: an interface
// that comes back down stays down until someone brings it up) and says so. Meanwhile frames
// sent go to the task, which writes each on a new socket if the interface is back by then, else
// reports it failed as the old socket's write did.
//
// close() ends the device for good: the frames already queued are written (for at most
// kCloseDrainLimit; what is left then is reported as lost, in one "[CAN] " line), the socket is
// closed before close() returns, receives in progress return what was queued, then nothing, and
// every later call gets the closed error.
//
// In a child made by fork() the task is the parent's: every call gets inherited_error().
//
// Lifetime: when the device is destroyed, the task writes every frame already queued for
// sending (or reports its failure), then ends and closes the socket, whether or not frames keep
// arriving. Receives still in progress keep the incoming queue alive; after the task has ended
// they return what is left in it, then nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "can/bus_state.hpp"
#include "can/can_filter.hpp"
#include "can/can_frame.hpp"
#include "can/device_closing.hpp"
#include "can/provisioning.hpp"
#include "can/receive_turn.hpp"
#include "can/sliced_wait.hpp"
#include "common/result.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/channel.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/process.hpp"
#include "runtime/task.hpp"

namespace varnex {

// Sees every frame a CanDeviceAsync reads, wherever it is read (by the task or by a receive),
// in the order it was read, with the time it was read (the clock of time.time()). Called with
// the device's receive path held: it must not wait, except for a leaf lock of its own.
class FrameTap {
 public:
  virtual ~FrameTap() = default;
  virtual void seen(const CanMessage& message, std::chrono::system_clock::time_point read_at) = 0;
};

// How long close() lets the task write the frames queued before it.
inline constexpr std::chrono::seconds kCloseDrainLimit{1};

class CanDeviceAsync {
 public:
  // Provisions the interface at `bitrate` (ensure_can_interface; its child processes run inside
  // block_in_place, so any thread may call this), opens the socket and starts the task. Errors
  // of provisioning and of opening the socket are returned unchanged; nothing stays open.
  // `owner` names the device in the closed error: the class the user holds. `filters` are in
  // place on the socket before it is bound, and on every socket opened after a removal.
  // `error_frames`: the error classes whose frames receives (and a tap) get too (0: none, then
  // only the bus state sees error frames; CAN_ERR_MASK: all).
  static Result<std::shared_ptr<CanDeviceAsync>> create(const std::string& interface,
                                                        std::string owner = "CanDeviceNonBlocking",
                                                        const CanFilters& filters = std::nullopt,
                                                        uint32_t error_frames = 0,
                                                        uint32_t bitrate = kCanBitrate);

  CanDeviceAsync(const CanDeviceAsync&) = delete;
  CanDeviceAsync& operator=(const CanDeviceAsync&) = delete;

  const std::string& interface() const { return interface_; }

  // Writes a frame, or queues it for the task (see the short path above); never waits. A write
  // that fails is reported by the device's diagnostics, as the task reports its own. The frame
  // is built here, so an invalid id or
  // payload is the caller's error, with the texts of the blocking send ("Payload is larger than
  // CAN maximum of 8 bytes", then "CAN ID too large"), and nothing is queued.
  // Error "channel closed" (ErrorKind::Os) once the task has ended.
  Status send_nonblocking(uint32_t id, std::vector<uint8_t> data);
  // The same for a frame record already built (a replayed log's: remote requests, and
  // extended frames with small ids, which send_nonblocking does not make).
  Status send_frame_nonblocking(const can_frame& frame);

  // A frame that must go out now or not at all (the motor broadcast's): written at once when
  // nothing is queued ahead of it and the socket has room, else dropped (Sent::NoRoom); never
  // queued, so a stalled bus builds no backlog of it. A write failure (ENOBUFS, link down) is the
  // error, unreported here (the caller reports it); so are the frame construction errors and,
  // once closed, the closed error. Takes the send path's lock for the write, as senders do.
  enum class Sent : uint8_t { Written, NoRoom };
  Result<Sent> send_now(uint32_t id, std::span<const uint8_t> data);

  // Replaces the receive filters of the socket and of every socket opened after a removal of
  // the interface. Frames already in the incoming queue stay. Errors: the closed and inherited
  // errors, or the kernel's refusal ("<description> (os error N)"; the old filters stay).
  Status set_filters(const CanFilters& filters);

  // The bus state (can/bus_state.hpp): from the error frames the device has read (by its task or
  // its receives) and a reading of the link. Never fails.
  BusState bus_state();

  // From now on the device's sockets (this one and any reopened later) keep a small send
  // buffer (CanSocket::limit_send_buffer), so that frames written before a stall are few.
  void keep_kernel_queue_short();

  // Attaches `tap` (one at a time: false when another is attached). With `takes_all` the frames
  // go to the tap only: receives on the device get none, and nothing piles up in its queue.
  bool attach_tap(std::shared_ptr<FrameTap> tap, bool takes_all);
  // Detaches `tap` if it is the one attached; once this returns, it sees no more frames.
  void detach_tap(const FrameTap* tap);

  // Writes what is queued (within kCloseDrainLimit), then closes the socket; see above. Waits
  // for that on the calling thread (a worker hands its place over). Closing again does nothing.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // "<owner> on interface '<name>' is closed" (ErrorKind::Runtime).
  Error closed_error() const { return closed_device_error(owner_, interface_); }

  // Receives from a plain thread (blocking wrappers), taking the device's receive turn as
  // can/receive_turn.hpp describes (hooks: how the caller wants the waits made). Results: the
  // frame (WaitEnd::Done), or nothing: TimedOut when no frame came in time (or none was queued,
  // or the task has ended), Interrupted when a hook ended the receive (nothing was taken). A
  // nested receive on one thread fails with kNestedReceive (ErrorKind::Runtime).

  // The first queued frame, if any. Waits only for the receive turn.
  Result<rt::OpWait<CanMessage>> try_receive(const ReceiveHooks& hooks);
  Result<std::optional<CanMessage>> try_receive();

  // try_receive while the receive turn is free: nothing waits, so no hooks are needed. Empty
  // when another receive holds the turn or this thread is already receiving on the device;
  // try_receive(hooks) handles those. Polling loops call it at high rates, hence the short path.
  std::optional<Result<std::optional<CanMessage>>> try_receive_if_free();

  // The next frame within `limit` (a frame already queued is returned even at 0; none, or a
  // limit too large for the clock, means no limit). The wait for the receive turn comes first
  // and is not counted. Nothing on time-out, or once the task has ended and the queue is empty.
  Result<rt::OpWait<CanMessage>> receive_timeout(std::optional<std::chrono::nanoseconds> limit,
                                                 const ReceiveHooks& hooks);
  Result<std::optional<CanMessage>> receive_timeout(std::optional<std::chrono::nanoseconds> limit);

  // The same to be awaited inside a runtime task (the motor's receive task), which takes the
  // receive mutex as a task and never hands frames back.
  rt::Task<std::optional<CanMessage>> receive_timeout_async(std::chrono::nanoseconds limit);

  // The same with an absolute deadline (none: no limit) that also bounds the wait for the turn,
  // so a deadline already passed only looks at the queue.
  Result<rt::OpWait<CanMessage>> receive_until(std::optional<rt::Instant> deadline,
                                               const ReceiveHooks& hooks);

  // The incoming queue, behind the receive mutex, shared by the device and every receive in
  // progress: the frames the task queued, and before them a frame a receive handed back.
  struct IncomingQueue {
    explicit IncomingQueue(rt::Receiver<CanMessage> r) : queued(std::move(r)) {}
    rt::Receiver<CanMessage> queued;
    std::optional<CanMessage> handed_back;
    // The handed-back frame, else the first queued one; never waits.
    std::optional<CanMessage> take();
  };
  using Incoming = rt::AsyncMutexed<IncomingQueue>;

  // "<owner> on interface '<name>' belongs to the parent process ..." (ErrorKind::Runtime): what
  // every call gets in a child made by fork(), where the device's task does not run.
  Error inherited_error() const { return inherited_device_error(owner_, interface_); }
  bool inherited() const { return born_.inherited(); }
  // Ok while the device can be used here, else the error every call gets.
  Status usable() const;

  // What senders and the task share to decide who writes a frame, and what receives and the
  // task share to decide who reads one.
  struct SendPath;
  struct ReceivePath;

 private:
  // Every blocking receive: the turn's wait ends at `lock_deadline`; the frame wait at what
  // `deadline` gives once the turn is held (`wait_for_frame` false: only the queue is looked at).
  Result<rt::OpWait<CanMessage>> receive(
      std::optional<rt::Instant> lock_deadline,
      const std::function<std::optional<rt::Instant>()>& deadline, bool wait_for_frame,
      const ReceiveHooks& hooks);

  CanDeviceAsync(std::string interface, std::string owner, rt::Sender<can_frame> outgoing,
                 std::shared_ptr<SendPath> send_path, std::shared_ptr<Incoming> incoming,
                 std::shared_ptr<ReceivePath> receive_path, rt::JoinHandle<void> task)
      : interface_(std::move(interface)),
        owner_(std::move(owner)),
        outgoing_(std::move(outgoing)),
        send_path_(std::move(send_path)),
        incoming_(std::move(incoming)),
        receive_path_(std::move(receive_path)),
        task_(std::move(task)) {}

  const std::string interface_;
  const std::string owner_;
  const rt::ProcessStamp born_;
  // Frames already built and checked. Guarded by the send path's lock; empty once closed (the
  // task then writes what is left and ends).
  std::optional<rt::Sender<can_frame>> outgoing_;
  std::atomic<bool> closed_{false};
  std::shared_ptr<SendPath> send_path_;
  std::shared_ptr<Incoming> incoming_;
  std::shared_ptr<ReceivePath> receive_path_;
  rt::JoinHandle<void> task_;  // awaited only by close()
};

}  // namespace varnex
