// One motor driver of a group: its slot in the broadcast frame, its node id, the mode its target
// is encoded with, the latest target and the latest feedback.
//
// A Device is shared by its group's list, by the Python object that wraps it and, briefly, by
// whoever looks it up. It holds the group's link, so it can still send configuration frames
// after its group is gone (its feedback then no longer changes and its target is no longer
// broadcast).
//
// Locks: the target is guarded by the group's target board (target_board.hpp), which also keeps
// the frame the broadcast sends. The feedback sits behind a FIFO async mutex, held only to copy
// three floats, so a reader always sees the three values of one frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "motor/can_link.hpp"
#include "motor/protocol.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/repeat_limiter.hpp"
#include "runtime/task.hpp"

namespace varnex::motor {

// The highest slot of the broadcast frame; a larger requested slot is stored as this one.
inline constexpr uint8_t kLastSlot = 3;

class TargetBoard;

class Device {
 public:
  // Target 0.0, feedback all 0.0, slot min(slot, kLastSlot). Sends nothing. `board` is the
  // group's; the device's target is kept there.
  static std::shared_ptr<Device> create(uint8_t slot, uint32_t node_id, FocMode mode,
                                        std::shared_ptr<CanLink> link, uint32_t host_id,
                                        std::shared_ptr<TargetBoard> board);

  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  uint32_t node_id() const { return node_id_; }
  uint32_t host_id() const { return host_id_; }
  uint8_t slot_index() const { return slot_index_; }
  // The mode given at registration. It fixes the target encoding for the device's whole life;
  // set_foc_mode reconfigures the driver but not this.
  FocMode mode() const { return mode_; }

  // Stored on the group's board (the next broadcast frame carries it) and counted as a sign of
  // life by the group's watchdog. A value the slot cannot carry (target_fit) is still stored and
  // sent saturated (or as 0 for NaN), and reported on fd 2, at most once a second per device:
  //   "[Motor] set_target(<value>) on driver 0x<ID> (slot <n>, <mode> mode) is out of range:
  //    sent as <v> <unit>, the limit of its slot (<low> to <high> <unit>)"
  // (position mode adds "; targets are in rad, not degrees"), or for NaN
  //   "[Motor] set_target(nan) on driver 0x<ID> (slot <n>, <mode> mode) is not a number: sent
  //    as 0"
  void set_target(float value);
  float target() const;
  // The target as the broadcast frame carries it, encoded with mode().
  int16_t encoded_target() const;

  // DR v1 frames addressed to this driver, queued on the host id; errors: "channel closed".
  // Ok while the group's device is open (and in the process that made it), else its error.
  Status open_status() const { return link_->open_status(); }

  Status enter_configure();           // the session-opening pair
  Status exit_configure();            // end session
  Status set_foc_mode(FocMode mode);  // set mode; the stored mode stays as it was
  Status start_calibration();         // encoder zero, then a 200 ms sleep if queued

  // The mode last sent to the driver: the registration mode, then whatever set_foc_mode (or the
  // group's set_foc_mode_broadcast, through note_mode_given) queued last.
  FocMode given_mode() const { return given_mode_.load(std::memory_order_relaxed); }
  void note_mode_given(FocMode mode) { given_mode_.store(mode, std::memory_order_relaxed); }
  // Sends the setup again, as add_device did, with the mode last given: open session, set mode,
  // end session. For a driver that missed it (setup_watch.hpp).
  Status resend_setup();
  // When the device was created, that is when add_device queued its setup.
  rt::Instant setup_sent_at() const { return setup_sent_at_; }
  // Summarises the set_target reports counted but not yet printed (RepeatLimiter::flush).
  void flush_reports() { target_reports_.flush(); }

  // The latest feedback, for threads outside the runtime's tasks (Python callers): takes the
  // feedback lock on the calling thread, waiting if the receive task holds it.
  Feedback get_feedback_blocking();

  // Stores all three values of one frame at once; awaited by the receive task. The caller keeps
  // the device alive until it completes. `received_ns`: the kernel's receive time of the frame
  // (CanMessage::received_ns); 0 when it has none, then the time of the store stands for it.
  rt::Task<void> update_feedback(Feedback feedback, int64_t received_ns = 0);

  // How fresh the feedback is, readable from any thread without the feedback lock: the number of
  // frames stored so far, and the seconds from the latest one's receive time to now on the clock
  // of time.time() (none before the first; never below 0 when that clock is set back).
  uint64_t feedback_count() const { return feedback_count_.load(std::memory_order_acquire); }
  std::optional<double> feedback_age() const;
  // The position of the last stored feedback, lock-free (meaningful once feedback_count() > 0).
  float reported_position() const { return reported_position_.load(std::memory_order_relaxed); }

 private:
  friend class TargetBoard;  // guards and reads target_

  Device(uint8_t slot, uint32_t node_id, FocMode mode, std::shared_ptr<CanLink> link,
         uint32_t host_id, std::shared_ptr<TargetBoard> board);

  uint16_t destination() const { return destination_of(node_id_); }

  const uint32_t node_id_;
  const uint32_t host_id_;
  const std::shared_ptr<TargetBoard> board_;
  float target_ = 0.0f;  // guarded by board_'s lock
  const std::shared_ptr<CanLink> link_;
  rt::AsyncMutexed<Feedback> feedback_;
  // Written by the receive task after each store: the frame's receive time on the monotonic
  // clock (rt::Clock, ns) first, then the count, so a reader that sees a count above zero also
  // sees a time.
  std::atomic<int64_t> feedback_received_ns_{0};
  std::atomic<uint64_t> feedback_count_{0};
  std::atomic<float> reported_position_{0.0f};
  const uint8_t slot_index_;
  const FocMode mode_;
  std::atomic<FocMode> given_mode_;
  const rt::Instant setup_sent_at_ = rt::Clock::now();
  RepeatLimiter target_reports_;
};

// The set_target report for `value` on `device`, or none when the value fits (see set_target).
std::optional<std::string> target_report(float value, uint32_t node_id, uint8_t slot, FocMode mode);

}  // namespace varnex::motor
