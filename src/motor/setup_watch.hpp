// Telling a driver that missed its setup. The drivers answer no configuration frame, so the host
// cannot see whether a driver was listening when add_device sent its setup; what it can see is
// when a driver answers target frames. A driver that was up answers the first target frame after
// its setup within milliseconds; one that powers up (or reboots) later leaves target frames
// unanswered for a while and then starts in its firmware's default mode, which reads the slot in
// another unit.
//
// So a device's answers are watched, by its group's receive task, against the target frames the
// group sent (TargetBoard::last_sent):
//   Late          its first feedback came after target frames had gone unanswered for at least
//                 kLateAnswer since its setup;
//   BackFromSilence  a feedback came after at least kRestartSilence without one, while target
//                 frames went unanswered for at least kLateAnswer (a driver that restarted);
//   Fine          otherwise. Gaps without target frames prove nothing either way: a program that
//                 waits before it starts broadcasting is not a late driver. A driver that comes
//                 up after its setup but before the first target frame cannot be told apart from
//                 one that was up all along.
// The receive task samples last_sent on its turns (at least every 100 ms), so the gap it measures
// may come out shorter than the real one, never longer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "motor/protocol.hpp"
#include "runtime/clock.hpp"

namespace varnex::motor {

inline constexpr std::chrono::milliseconds kLateAnswer{250};
inline constexpr std::chrono::seconds kRestartSilence{1};

enum class SetupVerdict : uint8_t { Fine, Late, BackFromSilence };

class AnswerWatch {
 public:
  explicit AnswerWatch(rt::Instant setup_sent) : since_(setup_sent) {}

  // The group's latest target frame went out at `sent` (or none has yet).
  void target_sent(std::optional<rt::Instant> sent) {
    if (sent && !unanswered_since_ && *sent > since_) unanswered_since_ = *sent;
  }

  // A feedback frame from the driver arrived at `now`: the verdict, and from now on the watch
  // starts again from this answer.
  SetupVerdict answered(rt::Instant now);

  // The seconds the verdict rests on: for Late how long target frames went unanswered, for
  // BackFromSilence how long the driver was silent.
  double gap_seconds() const { return gap_; }

 private:
  rt::Instant since_;  // the setup, then the latest answer
  bool answered_ = false;
  std::optional<rt::Instant> unanswered_since_;  // the first target frame seen after since_
  double gap_ = 0.0;
};

// The line (without line feed) for a Late or BackFromSilence verdict on the driver `node_id` in
// `slot`, last given `mode`; `resent` when its setup was sent again (reapply_setup).
std::string setup_verdict_line(SetupVerdict verdict, double gap_seconds, uint32_t node_id,
                               uint8_t slot, FocMode mode, bool resent);

}  // namespace varnex::motor
