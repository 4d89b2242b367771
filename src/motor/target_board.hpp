// The targets of one motor group as the broadcast frame carries them, kept current as they are
// set, and the watchdog's record of when they were last set.
//
// The frame lives in one 64-bit atomic: writers (set_target, a new device, the watchdog) update
// it under the board's mutex; a reader (the broadcast thread, Motor::broadcast) loads it without
// any lock. So a frame is never torn (all four slots are from one moment) and the broadcast
// thread, which may run at a real-time priority, never waits for a thread that holds a lock.
//
// Each slot carries the target of the device registered last on it (a later device wins a
// shared slot); a slot nobody occupies is 0.
//
// Safe targets (the watchdog's trip, and the end of a broadcast with a watchdog): a Current or
// Speed device's target becomes 0; a Position device's holds its last reported position, or its
// last target if it never reported (or reported no finite number), clamped to what the slot
// can carry (-327.68 to 327.67 rad).
//
// Locks: mutex_ guards the devices' stored targets, the slot owners and the writers' updates of
// the frame. It is a leaf: nothing is called while it is held. It may be taken with the group's
// list lock held (a device joining the list claims its slot), never the other way round.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "motor/protocol.hpp"
#include "runtime/clock.hpp"

namespace varnex::motor {

class Device;

// The broadcast frame's four slots.
inline constexpr std::size_t kSlotCount = 4;

class TargetBoard {
 public:
  TargetBoard() : last_feed_ns_(now_ns()) {}
  TargetBoard(const TargetBoard&) = delete;
  TargetBoard& operator=(const TargetBoard&) = delete;

  // The 8 data bytes of the target frame as they are now. Lock-free; any thread.
  FrameData frame() const noexcept;

  // A device's target: stored, put in the frame when the device carries its slot, and counted
  // as a watchdog feed.
  void set_target(Device& device, float value);
  float target(const Device& device) const;

  // `device` now carries its slot (it is the latest registered on it): its target goes into the
  // frame. Called under the group's list lock, in registration order.
  void claim_slot(const Device& device);

  // When the group's latest target frame went out (Motor::broadcast, the broadcast thread):
  // what the receive task watches the drivers' answers against (setup_watch.hpp). Lock-free.
  void note_sent() noexcept { last_sent_ns_.store(now_ns(), std::memory_order_relaxed); }
  std::optional<rt::Instant> last_sent() const noexcept;

  // The watchdog: set_target and feed() count as signs of life. A feed after a trip re-arms the
  // watchdog but leaves the safe targets as they are: only a set changes a target.
  void feed();
  rt::Instant last_feed() const noexcept;
  // True from a trip until the next set_target or feed().
  bool tripped() const noexcept { return tripped_.load(std::memory_order_acquire); }

  // If nothing was set or fed for `limit` up to `now` (checked again under the lock, so a set
  // racing with the trip wins), makes every target of `devices` safe, marks the board tripped
  // and returns true. Only the broadcast thread calls it.
  bool trip_if_quiet(rt::Instant now, std::chrono::nanoseconds limit,
                     const std::vector<std::shared_ptr<Device>>& devices);
  // Makes every target of `devices` safe now and returns the frame that carries them.
  FrameData make_safe(const std::vector<std::shared_ptr<Device>>& devices);

  // The safe target of one device, given what it last reported (see above).
  static float safe_target(FocMode mode, float target, bool reported, float reported_position);

 private:
  static std::int64_t now_ns() noexcept;
  void feed_locked() noexcept;
  // Under mutex_: writes `device`'s encoded target into its slot if it carries it.
  void publish_locked(const Device& device);
  void make_safe_locked(const std::vector<std::shared_ptr<Device>>& devices);

  mutable std::mutex mutex_;
  std::array<const Device*, kSlotCount> owners_{};  // compared, never dereferenced
  std::array<SlotTarget, kSlotCount> slots_{{{0, 0}, {1, 0}, {2, 0}, {3, 0}}};
  std::atomic<std::uint64_t> frame_{0};  // build_broadcast_frame(slots_), byte i in bits 8i..8i+7
  std::atomic<std::int64_t> last_feed_ns_;  // monotonic clock, ns
  std::atomic<bool> tripped_{false};
  std::atomic<std::int64_t> last_sent_ns_{0};  // monotonic clock, ns; 0: none sent yet
};

}  // namespace varnex::motor
