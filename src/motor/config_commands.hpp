// Queuing the DR v1 configuration commands on a group's link. Every frame goes out on the host id;
// the destination inside the payload picks one driver (low 16 bits of its node id) or all of them
// (kBroadcastDestination). Nothing waits for an answer: the drivers never send one.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/result.hpp"
#include "motor/can_link.hpp"
#include "motor/protocol.hpp"

namespace varnex::motor {

// How long the sender of an encoder-zero command waits afterwards, so that the driver has
// finished measuring before the next command or target arrives.
inline constexpr std::chrono::milliseconds kCalibrationPause{200};

// The session-opening pair, 0x73 then 0x74; the second only if the first was queued.
Status queue_open_session(CanLink& link, uint32_t host_id, uint16_t destination);

// End session (group 0, code 0): leaves the firmware's running state as it is.
Status queue_end_session(CanLink& link, uint32_t host_id, uint16_t destination);

// Set FOC mode (group 1, code = the mode's wire code).
Status queue_set_foc_mode(CanLink& link, uint32_t host_id, uint16_t destination, FocMode mode);

// Encoder electrical zero; once the frame is queued the calling thread sleeps kCalibrationPause.
// On error it returns at once.
Status queue_calibration_and_wait(CanLink& link, uint32_t host_id, uint16_t destination);

}  // namespace varnex::motor
