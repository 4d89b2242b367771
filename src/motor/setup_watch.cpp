#include "motor/setup_watch.hpp"

#include <cstdio>

namespace varnex::motor {

SetupVerdict AnswerWatch::answered(rt::Instant now) {
  using Seconds = std::chrono::duration<double>;
  const bool long_unanswered = unanswered_since_ && now - *unanswered_since_ >= kLateAnswer;
  SetupVerdict verdict = SetupVerdict::Fine;
  if (!answered_ && long_unanswered) {
    verdict = SetupVerdict::Late;
    gap_ = Seconds(now - *unanswered_since_).count();
  } else if (answered_ && long_unanswered && now - since_ >= kRestartSilence) {
    verdict = SetupVerdict::BackFromSilence;
    gap_ = Seconds(now - since_).count();
  }
  answered_ = true;
  since_ = now;
  unanswered_since_.reset();
  return verdict;
}

std::string setup_verdict_line(SetupVerdict verdict, double gap_seconds, uint32_t node_id,
                               uint8_t slot, FocMode mode, bool resent) {
  const std::string name(foc_mode_name(mode));
  char head[160];
  if (verdict == SetupVerdict::Late) {
    std::snprintf(head, sizeof head,
                  "[Motor] driver 0x%X (slot %u) first answered %.2f s after its targets began: it "
                  "was not listening when its setup (%s mode) was sent",
                  static_cast<unsigned>(node_id), static_cast<unsigned>(slot), gap_seconds,
                  name.c_str());
  } else {
    std::snprintf(head, sizeof head,
                  "[Motor] driver 0x%X (slot %u) answered again after %.2f s of silence: it may "
                  "have restarted and lost its setup (%s mode)",
                  static_cast<unsigned>(node_id), static_cast<unsigned>(slot), gap_seconds,
                  name.c_str());
  }
  if (resent) return std::string(head) + "; its setup was sent again";
  return std::string(head) + " and may be in its default mode; Device.set_foc_mode('" + name +
         "') between enter_configure() and exit_configure() re-sends it (or create the Motor "
         "with reapply_setup=True)";
}

}  // namespace varnex::motor
