// Which received frames are a driver's feedback: the rule the receive task applies before it
// stores anything, kept pure so that every case is tested without a bus.
#pragma once

#include <cstdint>

#include "can/can_frame.hpp"

namespace varnex::motor {

// True when `frame` is a feedback frame from the driver with `node_id`: a data frame (neither
// a remote request nor an error frame) on exactly that id, in the format the group itself uses
// for that id (standard up to 0x7FF, extended above), with 8 data bytes.
//
// A remote request on a driver's id is another node asking for the driver's data, not the
// answer; an extended frame whose 29-bit id happens to equal a standard node id is another
// node's traffic. Neither may pass for fresh feedback.
//
//   node id   frame                                   feedback?
//   0x201     standard 0x201, 8 bytes                 yes
//   0x201     standard 0x201, 7 bytes                 no   (length)
//   0x201     standard 0x202, 8 bytes                 no   (id)
//   0x201     standard 0x201, 8 bytes, remote         no   (a request)
//   0x201     extended 0x00000201, 8 bytes            no   (format)
//   0x201     error frame                             no
//   0x10201   extended 0x10201, 8 bytes               yes
//   0x800     extended 0x800, 8 bytes                 yes  (the lowest id sent extended)
bool is_feedback_frame_for(const CanMessage& frame, uint32_t node_id);

}  // namespace varnex::motor
