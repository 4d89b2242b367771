// The receive task of a motor group: routes each driver's feedback frames to its Device.
//
// Forever: wait at most 100 ms for the next frame on the group's link, so that an abort never
// waits long for the task to reach a suspension point; drop a frame whose length is not 8 with
//   "Warning: ignoring CAN frame 0x<ID> with unexpected length <n>"
// (before any matching, so this applies to frames from any sender); decode the rest and store
// the feedback in the first registered device with that node id when the frame is its feedback
// (is_feedback_frame_for: not a remote request or an error frame, and in the format of the node
// id), or report it with
//   "[Motor] unmatched feedback frame: id=0x<ID>, data=[b0, b1, ..., b7]"
// Ids are upper-case hexadecimal without leading zeros, bytes decimal; each line goes to fd 2.
// On a bus shared with other nodes those frames come by the thousand a second, so each kind of
// line is printed at most once a second per id (ForeignFrames): the first of an id exactly as
// above, later ones with "(N similar messages suppressed)".
//
// Each registered device's answers are watched against the group's target frames
// (setup_watch.hpp): a driver that first answers late, or answers again after a silence, gets one
// line naming it, its slot, the mode it was given and the remedy; with `reapply_setup` the task
// sends that device's setup again itself (open session, set mode, end session).
//
// Error frames (the link passes those that say a bus state) are never feedback: the task looks at
// the bus state when one comes and, on a link with a state of its own (a controller's, read over
// netlink, which sends this task no frame), at least every kBusStateCheck; a link without one
// (vcan) changes state only by error frames, and is not asked in between, so that a group on it
// holds no descriptor but its socket. It reports each change once:
//   "[Motor] bus state of <interface>: <before> -> <now>"     e.g. "active -> passive"
// each distinct line at most once a second (a bus that flaps prints each direction once a second
// with its count of repeats).
//
// Should the link ever stop delivering (the CAN device's task ended), every attempt returns at
// once; attempts are then spaced 100 ms apart rather than polled in a loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "motor/can_link.hpp"
#include "motor/device_list.hpp"
#include "motor/setup_watch.hpp"
#include "motor/target_board.hpp"
#include "runtime/repeat_limiter.hpp"
#include "runtime/task.hpp"

namespace varnex::motor {

inline constexpr std::chrono::milliseconds kReceiveWait{100};
inline constexpr std::chrono::milliseconds kBusStateCheck{100};

struct ReceiveOptions {
  bool reapply_setup = false;
};

// The task holds its own references to the link, the list and the board, so it never depends on
// the group that started it: the group aborts it and goes without waiting.
// `first_reading` is the link as the group found it, read before the task starts.
rt::Task<void> receive_feedback(std::shared_ptr<CanLink> link, std::shared_ptr<DeviceList> devices,
                                std::shared_ptr<TargetBoard> board, LinkReading first_reading,
                                ReceiveOptions options = {});

// "[Motor] bus state of <interface>: <before> -> <now>", without its line feed.
std::string bus_state_line(const std::string& interface, BusState before, BusState now);

// The two diagnostic lines, with their line feed.
std::string unexpected_length_line(uint32_t id, std::size_t length);
std::string unmatched_frame_line(uint32_t id, std::span<const uint8_t> data);

// The reports of frames that are not a registered driver's feedback, limited per kind and id
// (RepeatLimiter::report_keyed): a repeat costs a lookup, not a formatted line and a write.
// Owned by the receive task, which calls flush() on every turn.
class ForeignFrames {
 public:
  void unmatched(uint32_t id, std::span<const uint8_t> data);
  void wrong_length(uint32_t id, std::size_t length);
  void flush() { limiter_.flush(); }

 private:
  RepeatLimiter limiter_;
};

}  // namespace varnex::motor
