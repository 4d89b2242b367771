#include "motor/feedback_match.hpp"

#include "motor/protocol.hpp"

namespace varnex::motor {

bool is_feedback_frame_for(const CanMessage& frame, uint32_t node_id) {
  return frame.id == node_id && !frame.remote && !frame.error &&
         frame.extended == sent_as_extended(node_id) && frame.data.size() == kFrameLength;
}

}  // namespace varnex::motor
