#include "motor/config_commands.hpp"

#include <thread>
#include <vector>

namespace varnex::motor {
namespace {

Status queue(CanLink& link, uint32_t host_id, const FrameData& frame) {
  return link.send(host_id, std::vector<uint8_t>(frame.begin(), frame.end()));
}

}  // namespace

Status queue_open_session(CanLink& link, uint32_t host_id, uint16_t destination) {
  const SessionOpening opening = open_session_frames(destination);
  if (Status first = queue(link, host_id, opening.first); !first) return first;
  return queue(link, host_id, opening.second);
}

Status queue_end_session(CanLink& link, uint32_t host_id, uint16_t destination) {
  return queue(link, host_id, end_session_frame(destination));
}

Status queue_set_foc_mode(CanLink& link, uint32_t host_id, uint16_t destination, FocMode mode) {
  return queue(link, host_id, set_foc_mode_frame(destination, mode));
}

Status queue_calibration_and_wait(CanLink& link, uint32_t host_id, uint16_t destination) {
  Status queued = queue(link, host_id, encoder_zero_frame(destination));
  if (queued) std::this_thread::sleep_for(kCalibrationPause);
  return queued;
}

}  // namespace varnex::motor
