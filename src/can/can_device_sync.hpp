// CanDeviceSync: the blocking front end of a CAN socket. Every call waits on the calling
// thread until it is done (rt::wait_op_until inside block_in_place); the runtime's
// workers only deliver the socket's readiness. Calls from several threads may overlap (a send
// while another thread waits in a receive): the socket is replaced only under a lock, and each
// call keeps the socket it started on alive until it is done.
//
// A removed interface (unplugged adapter, `ip link del`) shows once as the failed call's error.
// There is no background task to watch for its return, so each later call looks for it
// (ReopeningSocket): once an interface of the same name exists, a new socket is opened on it
// (not provisioned) and the call goes on there. Until then send fails with the opening error
// ("CAN Device not found: ..."), and receive waits for the interface to come back, looking every
// kReopenPollPeriod. A send that finds the removal only by its write failing (the socket had not
// been told) writes the frame on a new socket when the interface is already back.
//
// A Python CanDevice inherited through fork() goes on working in the child on a socket of its
// own (reopen_inherited): frames the parent's socket had not read at the fork stay the parent's.
//
// close() closes the socket at once: a send or receive waiting on another thread ends with the
// closed error (a send given up so has not written its frame), and every later call gets it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "can/bus_state.hpp"
#include "can/can_frame.hpp"
#include "can/can_socket.hpp"
#include "can/device_closing.hpp"
#include "can/provisioning.hpp"
#include "can/receive_turn.hpp"
#include "can/reopening_socket.hpp"
#include "can/sliced_wait.hpp"
#include "can/state_frame_socket.hpp"
#include "common/lock_order.hpp"
#include "common/result.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/clock.hpp"

namespace varnex {

class CanDeviceSync {
 public:
  // Provisions the interface at `bitrate` (ensure_can_interface), then opens the socket with
  // `filters` in place before it is bound. Errors of either step are returned unchanged;
  // nothing stays open. `error_frames`: the error classes whose frames receives return too (0:
  // none, then only the bus state sees error frames; CAN_ERR_MASK: all).
  static Result<std::shared_ptr<CanDeviceSync>> create(const std::string& interface,
                                                       const CanFilters& filters = std::nullopt,
                                                       uint32_t error_frames = 0,
                                                       uint32_t bitrate = kCanBitrate);

  const std::string& interface() const { return interface_; }

  // Builds and writes one frame (errors: the frame construction texts, or the write failure
  // as "<description> (os error N)"). The device stays usable after an error.
  Status send(uint32_t id, std::vector<uint8_t> data);

  // The same, with the wait for room in the send buffer (a stalled transmit queue can hold it
  // for ever) in slices of at most kInterruptCheckPeriod with `interrupted` called between them;
  // when it returns true the wait ends with `interrupted` set and the frame not written.
  rt::OpWait<Status> send_interruptible(uint32_t id, std::vector<uint8_t> data,
                                        const InterruptCheck& interrupted);

  // Waits without limit for the next frame (across a removal of the interface, see above).
  Result<CanMessage> receive();

  // Receives take the device's receive turn as can/receive_turn.hpp describes (hooks: how the
  // caller wants the waits made). The next frame, or neither a value nor `interrupted` when
  // `deadline` (none: no limit) passed first; `interrupted` when a hook ended the wait, with no
  // frame taken. A nested receive on one thread fails with kNestedReceive.
  rt::OpWait<Result<CanMessage>> receive_until(std::optional<rt::Instant> deadline,
                                               const ReceiveHooks& hooks);

  // Replaces the receive filters of the socket, and of every socket opened after a removal of
  // the interface. Frames already queued stay; a receive in progress goes on under the new ones.
  // Errors: the closed error, or the kernel's refusal ("<description> (os error N)"; the old
  // filters stay).
  Status set_filters(const CanFilters& filters);

  // The bus state (can/bus_state.hpp): from the error frames the device's receives have read
  // and a reading of the link. Never fails; a device that is closed reads its link all the same
  // (and the frames read before the close), but opens no socket for it.
  BusState bus_state() {
    state_frames_.drain(errors_.rule());
    return errors_.bus_state(interface_);
  }

  // Closes the socket; calls in progress end with the error below. Closing again does nothing.
  void close();
  bool closed() const;
  // What every call gets once the device is closed: "CanDevice on interface '<name>' is closed".
  Error closed_error() const { return closed_device_error("CanDevice", interface_); }

  // The device inherited through fork() made again in this process: a new socket on the same
  // interface (not provisioned), closed if the inherited one was. The inherited device is never
  // used or destroyed (its socket is registered with the parent's reactor, and a parent thread
  // may have held its locks at the fork). Errors: those of opening the socket.
  static Result<std::shared_ptr<CanDeviceSync>> reopen_inherited(const CanDeviceSync& inherited);

  CanDeviceSync(std::unique_ptr<CanSocket> device, std::string interface,
                CanFilters filters = std::nullopt, uint32_t error_frames = 0)
      : interface_(std::move(interface)),
        filters_(std::move(filters)),
        errors_(error_frames),
        socket_(
            interface_, std::move(device), [this] { return filters_; }, errors_.delivered()),
        state_frames_(interface_) {}

 private:
  // The socket to use: a new one on the interface when the current one's interface was
  // removed (the opening error while it is still missing).
  Result<std::shared_ptr<CanSocket>> current_socket();

  // Writes `frame` on `socket`, and once more on a new socket when the write failed because the
  // interface was gone and it is back.
  rt::OpWait<Status> write(std::shared_ptr<CanSocket> socket, const can_frame& frame,
                           const InterruptCheck& interrupted);

  // Waits `op` on the calling thread as wait_sliced does, giving up when the device is closed
  // (then the closed error is the value).
  template <class Op, class Out = rt::OpOutput<Op>>
  rt::OpWait<Out> wait_unless_closed(Op& op, std::optional<rt::Instant> deadline,
                                     const InterruptCheck& interrupted);

  const std::string interface_;
  // Guards socket_ (replaced when the interface comes back; closed once the device is).
  mutable RankedMutex<LockRank::CanSocketSlot> mutex_;
  CanFilters filters_;  // guarded by mutex_, like the socket they are given to
  ErrorFrames errors_;
  ReopeningSocket socket_;
  // The error frames that tell the state come on a socket of their own (see its header), so the
  // receives' socket gets only those asked for.
  StateFrameSocket state_frames_;
  rt::Completion closed_;
  // The receive turn, and the frame a receive handed back (only while holding the turn).
  rt::AsyncMutexed<std::optional<CanMessage>> turn_;
};

}  // namespace varnex
