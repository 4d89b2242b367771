// Blocking receives on one CAN device take turns, and how a receive waits for its turn and its
// frame on behalf of its caller.
//
// The turn is the device's receive mutex (FIFO). A receive holds it from the moment it waits for
// a frame until it has handed the frame over or given up, so concurrent receives on one device
// get consecutive frames in order and none twice. The holder of a turn may wait for the GIL: on
// the main thread it runs signal handlers between the slices of its wait, and it hands its frame
// over once it has the GIL. So, by the lock order (common/lock_order.hpp), nobody waits for a
// turn while holding the GIL: a receive called with the GIL (try_receive, receive_timeout,
// CanDevice.receive) that finds another receive holding the turn releases the GIL (the caller's
// lock, ReceiveHooks::held) first, and waits for its turn and then its frame without it. A
// receive that finds the turn free keeps whatever its caller holds for the whole call.
//
// A frame handed back (ReceiveHooks::before_hand_over) is kept by the device and is the first
// one the next receive gets.
//
// One thread cannot receive twice at once on one device: a receive on the main thread runs
// signal handlers, and a handler that received on the same device would wait for the turn its
// own thread holds. Such a nested receive fails at once (kNestedReceive) and takes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "can/can_frame.hpp"
#include "can/sliced_wait.hpp"
#include "common/lock_order.hpp"
#include "runtime/async_mutex.hpp"

namespace varnex {

inline constexpr const char* kNestedReceive = "CAN device is already receiving on this thread";

// A lock the caller of a receive holds that the holder of another receive's turn may wait for
// (a Python caller's GIL). Released once, before the receive waits for its turn; the caller takes
// it back after the receive has returned.
class CallerLock {
 public:
  virtual void release() = 0;

 protected:
  ~CallerLock() = default;
};

// How a blocking receive waits, as its caller needs.
struct ReceiveHooks {
  // Runs between slices of every wait (at least every rt::kInterruptCheckPeriod); true ends the
  // receive interrupted, with nothing taken. Empty: the waits are not sliced.
  InterruptCheck interrupted;
  // See CallerLock; null when the caller holds nothing of the kind.
  CallerLock* held = nullptr;
  // Runs with a frame in hand and the turn still held, as the last step before the receive
  // returns it; true hands the frame back to the device and ends the receive interrupted. Empty:
  // every frame is handed over.
  std::function<bool(const CanMessage& frame)> before_hand_over;
};

// The calling thread's turn on one device, for the scope of one receive.
class ReceiveTurn {
 public:
  enum class Outcome : std::uint8_t { Held, Nested, TimedOut, Interrupted };

  // `device` identifies the device for the nesting rule; `mutex` is its receive mutex.
  ReceiveTurn(const void* device, rt::AsyncMutex& mutex) noexcept;
  ReceiveTurn(const ReceiveTurn&) = delete;
  ReceiveTurn& operator=(const ReceiveTurn&) = delete;
  ~ReceiveTurn();

  // Takes the turn, waiting until `deadline` (none: no limit) as described above.
  Outcome take(std::optional<rt::Instant> deadline, const ReceiveHooks& hooks);

  // Takes the turn only if it is free and this receive is not nested; waits for nothing.
  bool take_if_free() noexcept;

  // True when this receive had to wait for another one's turn (its caller's lock is released).
  bool waited() const noexcept { return waited_; }

 private:
  const void* device_;
  rt::AsyncMutex& mutex_;
  const ReceiveTurn* outer_;  // the receive of this thread that this one runs inside, if any
  bool nested_ = false;
  bool waited_ = false;
  std::optional<rt::AsyncMutexGuard> guard_;
};

// Hands `frame` over unless the hook asks to keep it: then it goes to `handed_back` (the device's
// slot for the next receive) and the result is interrupted. The turn must be held.
inline rt::OpWait<CanMessage> hand_over(CanMessage frame, std::optional<CanMessage>& handed_back,
                                        const ReceiveHooks& hooks) {
  if (hooks.before_hand_over && hooks.before_hand_over(frame)) {
    handed_back = std::move(frame);
    return {std::nullopt, rt::WaitEnd::Interrupted};
  }
  return {std::move(frame), rt::WaitEnd::Done};
}

}  // namespace varnex
