// A motor group: one CAN device, one host id, any number of drivers (normally up to four)
// addressed through the four slots of one broadcast target frame, and one receive task that
// routes the drivers' feedback frames (receive_task.hpp).
//
// Every frame the group and its devices send goes out on the host id and only queues it on the
// CAN device (never waits for the bus); the only error is "channel closed", once the CAN
// device's background task has ended.
//
// Lifetime: destroying the group aborts its receive task without waiting for it (the task may be
// stuck in a write of a diagnostic line to a standard error that nobody reads), then drops its
// references to the CAN device and the list. The task owns shared references to everything it
// uses, so it ends at its next suspension without touching the group; a line it is printing at
// that moment may still appear after the destructor has returned. Devices still held elsewhere
// keep the CAN device and can still send.
//
// close() ends the broadcast (its safe frame last), aborts the receive task, then closes the CAN
// device (the frames already queued are written first, see CanDeviceAsync::close); from then on
// every call that would send gets the closed error "Motor on interface '<name>' is closed", and
// so do the group's devices. Destroying the group ends its broadcast the same way first.
//
// The broadcast (broadcast.hpp): at most one per group at a time, started by start_broadcast;
// the targets it sends are the board's (target_board.hpp), which set_target keeps current.
//
// Threads: any thread outside the runtime's tasks (Python callers); the receive task runs on a
// runtime worker, the broadcast on its own thread. Locks, in the order they may be taken:
// broadcast_mutex_ (a start, close and the destructor), the list, the board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "can/provisioning.hpp"
#include "common/result.hpp"
#include "motor/broadcast.hpp"
#include "motor/can_link.hpp"
#include "motor/device.hpp"
#include "motor/device_list.hpp"
#include "motor/protocol.hpp"
#include "motor/receive_task.hpp"
#include "runtime/join_handle.hpp"

namespace varnex::motor {

class Motor {
 public:
  // Creates the non-blocking CAN device for `interface` (provisioning, socket, its task; errors
  // returned unchanged, nothing else created), then starts the receive task.
  // `options.reapply_setup`: the receive task re-sends the setup of a driver that missed it
  // (setup_watch.hpp). The interface is provisioned at `bitrate`.
  static Result<std::unique_ptr<Motor>> create(const std::string& interface, uint32_t host,
                                               ReceiveOptions options = {},
                                               uint32_t bitrate = kCanBitrate);
  // The same over a given link.
  static std::unique_ptr<Motor> over(std::shared_ptr<CanLink> link, uint32_t host,
                                     ReceiveOptions options = {});

  ~Motor();
  Motor(const Motor&) = delete;
  Motor& operator=(const Motor&) = delete;

  uint32_t host() const { return host_; }

  // See above. Closing again does nothing.
  void close();
  // Ok while the group is open, else the closed error.
  Status open_status() const { return can_->open_status(); }
  // The bus state of the group's interface (can/bus_state.hpp).
  BusState bus_state() const { return can_->bus_state(); }

  // Queues open session (0x73, 0x74), set mode, end session to the node, in this order, then
  // registers the device. Any error is returned and nothing is registered. No check against the
  // devices already registered: shared slots and node ids are allowed, but a slot above 3 (stored
  // as 3) or one an earlier device already uses is reported on fd 2 in one line
  // (slot_report).
  Result<std::shared_ptr<Device>> add_device(uint8_t slot, uint32_t node_id, FocMode mode);

  // Queues the target frame: every device's encoded target in its slot, the later device winning
  // a shared slot, unoccupied slots 0.
  Status broadcast();

  // Starts the group's fixed-rate broadcast under `task_id` and returns its handle, not yet
  // adopted. A broadcast still running is an error ("a broadcast is already running on this
  // Motor (TimerHandle id=<id>); stop it first"); one stopped but still sending its last frame
  // is waited for. Errors otherwise: those of motor::start_broadcast, or the closed error.
  Result<TimerHandle> start_broadcast(const BroadcastOptions& options, std::uint64_t task_id,
                                      TaskManager& registry = task_manager());
  // For programs that hold their targets constant: counts as a sign of life for the watchdog,
  // as a set_target does (see TargetBoard::feed).
  void feed_watchdog() { board_->feed(); }
  std::uint64_t broadcast_skipped() const {
    return counters_->skipped.load(std::memory_order_relaxed);
  }
  std::uint64_t watchdog_trips() const {
    return counters_->watchdog_trips.load(std::memory_order_relaxed);
  }

  // The first registered device whose stored slot equals `slot` (compared as given). No device:
  // set_target does nothing and get_feedback gives nothing.
  void set_target(uint8_t slot, float value);
  std::optional<Feedback> get_feedback(uint8_t slot);

  std::vector<std::shared_ptr<Device>> devices() const { return devices_->snapshot(); }
  std::size_t device_count() const { return devices_->size(); }

  // DR v1 to every driver (destination 0xFFFF). None changes any device's stored mode.
  Status enter_configure_broadcast();
  Status exit_configure_broadcast();
  Status calibrate_broadcast();  // sleeps 200 ms after a queued frame
  Status set_foc_mode_broadcast(FocMode mode);

 private:
  Motor(std::shared_ptr<CanLink> link, uint32_t host, ReceiveOptions options);

  // Stops the broadcast, if one runs, and waits until it has sent its last frame.
  void end_broadcast();

  std::shared_ptr<CanLink> can_;
  std::shared_ptr<TargetBoard> board_ = std::make_shared<TargetBoard>();
  std::shared_ptr<DeviceList> devices_;
  uint32_t host_;
  rt::JoinHandle<void> receive_task_;
  std::shared_ptr<BroadcastCounters> counters_ = std::make_shared<BroadcastCounters>();
  // Guards broadcast_ and broadcast_id_. Held while a start waits for a stopped broadcast's end
  // and while close() or the destructor wait for it: both bounded, as the loop ends on its own
  // once stopped (it never waits for a lock of the caller's or for the GIL).
  std::mutex broadcast_mutex_;
  std::shared_ptr<TimerRun> broadcast_;  // the latest broadcast's run, until it has ended
  std::uint64_t broadcast_id_ = 0;
};

// The add_device report for a device asked for `requested` slot and stored on `stored`, when an
// earlier device (`earlier_node`) already uses that slot or the request was above 3; none when
// neither. One line (without line feed):
//   "[Motor] add_device(slot_index=7, node_id=0x205): the broadcast frame has slots 0 to 3; the
//    device uses slot 3"
//   "[Motor] add_device(slot_index=1, node_id=0x202): slot 1 is already used by driver 0x201;
//    the broadcast frame now carries 0x202's target there, while Motor.set_target(1, ...) and
//    Motor.get_feedback(1) still address 0x201"
// both parts joined by "; " when both apply.
std::optional<std::string> slot_report(uint8_t requested, uint8_t stored, uint32_t node_id,
                                       std::optional<uint32_t> earlier_node);

}  // namespace varnex::motor
