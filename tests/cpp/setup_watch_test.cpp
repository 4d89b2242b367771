// The rules that tell a driver which missed its setup, and the texts of the motor group's
// reports of a setup or a target gone wrong; the receive task's use of them is in
// motor_group_test.
#include "motor/setup_watch.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "motor/device.hpp"
#include "motor/motor_group.hpp"

namespace {

using namespace varnex;
using namespace varnex::motor;
using namespace std::chrono_literals;

const rt::Instant t0 = rt::Clock::now();

TEST(AnswerWatch, OnlyTargetsLeftUnansweredSinceTheSetupMakeAFirstAnswerLate) {
  // Up all along: the first target frame is answered at once.
  AnswerWatch prompt(t0);
  prompt.target_sent(t0 + 5ms);
  EXPECT_EQ(prompt.answered(t0 + 6ms), SetupVerdict::Fine);

  // The program waited 3 s before its first target frame: no sign of a late driver.
  AnswerWatch patient(t0);
  patient.target_sent(std::nullopt);
  patient.target_sent(t0 + 3s);
  EXPECT_EQ(patient.answered(t0 + 3s + 2ms), SetupVerdict::Fine);

  // A frame sent before the setup does not count.
  AnswerWatch before(t0);
  before.target_sent(t0 - 2s);
  EXPECT_EQ(before.answered(t0 + 1s), SetupVerdict::Fine);

  // Targets went out from 10 ms on; the driver answered 0.8 s later. The first unanswered frame
  // counts, not the later ones.
  AnswerWatch late(t0);
  late.target_sent(t0 + 10ms);
  late.target_sent(t0 + 400ms);
  EXPECT_EQ(late.answered(t0 + 810ms), SetupVerdict::Late);
  EXPECT_NEAR(late.gap_seconds(), 0.8, 1e-6);
  // Only the first answer can be late.
  late.target_sent(t0 + 811ms);
  EXPECT_EQ(late.answered(t0 + 812ms), SetupVerdict::Fine);

  // Just short of the limit.
  AnswerWatch almost(t0);
  almost.target_sent(t0 + 10ms);
  EXPECT_EQ(almost.answered(t0 + 10ms + kLateAnswer - 1ms), SetupVerdict::Fine);
}

TEST(AnswerWatch, ASilenceOfASecondWhileTargetsWentOutIsARestart) {
  AnswerWatch watch(t0);
  watch.target_sent(t0 + 1ms);
  ASSERT_EQ(watch.answered(t0 + 2ms), SetupVerdict::Fine);
  // Targets kept going out, the driver was silent 1.5 s.
  watch.target_sent(t0 + 3ms);
  EXPECT_EQ(watch.answered(t0 + 1502ms), SetupVerdict::BackFromSilence);
  EXPECT_NEAR(watch.gap_seconds(), 1.5, 1e-6);

  // The program paused its targets for 2 s: the silence is the program's.
  watch.target_sent(t0 + 3500ms);
  EXPECT_EQ(watch.answered(t0 + 3501ms), SetupVerdict::Fine);

  // Targets unanswered for long enough, but the driver was silent less than a second.
  watch.target_sent(t0 + 3600ms);
  EXPECT_EQ(watch.answered(t0 + 4400ms), SetupVerdict::Fine);
}

TEST(SetupReports, LinesNameTheDriverItsSlotItsModeAndWhatToDo) {
  EXPECT_EQ(setup_verdict_line(SetupVerdict::Late, 0.84, 0x201, 0, FocMode::Position, false),
            "[Motor] driver 0x201 (slot 0) first answered 0.84 s after its targets began: it was "
            "not listening when its setup (position mode) was sent and may be in its default "
            "mode; Device.set_foc_mode('position') between enter_configure() and "
            "exit_configure() re-sends it (or create the Motor with reapply_setup=True)");
  EXPECT_EQ(
      setup_verdict_line(SetupVerdict::BackFromSilence, 1.5, 0x1ABCD, 3, FocMode::Current, true),
      "[Motor] driver 0x1ABCD (slot 3) answered again after 1.50 s of silence: it may have "
      "restarted and lost its setup (current mode); its setup was sent again");

  EXPECT_EQ(slot_report(0, 0, 0x201, std::nullopt), std::nullopt);
  EXPECT_EQ(
      slot_report(7, 3, 0x205, std::nullopt),
      "[Motor] add_device(slot_index=7, node_id=0x205): the broadcast frame has slots 0 to 3; "
      "the device uses slot 3");
  EXPECT_EQ(slot_report(1, 1, 0x202, 0x201u),
            "[Motor] add_device(slot_index=1, node_id=0x202): slot 1 is already used by driver "
            "0x201; the broadcast frame now carries 0x202's target there, while "
            "Motor.set_target(1, ...) and Motor.get_feedback(1) still address 0x201");
  EXPECT_EQ(
      slot_report(9, 3, 0x205, 0x204u),
      "[Motor] add_device(slot_index=9, node_id=0x205): the broadcast frame has slots 0 to 3; "
      "the device uses slot 3; slot 3 is already used by driver 0x204; the broadcast frame "
      "now carries 0x205's target there, while Motor.set_target(3, ...) and "
      "Motor.get_feedback(3) still address 0x204");
}

TEST(SetupReports, TargetsTheSlotCannotCarryAreReportedWithWhatIsSent) {
  EXPECT_EQ(target_report(327.67f, 0x201, 0, FocMode::Position), std::nullopt);
  EXPECT_EQ(target_report(-3276.8f, 0x201, 0, FocMode::Speed), std::nullopt);
  EXPECT_EQ(target_report(1000.0f, 0x201, 0, FocMode::Position),
            "[Motor] set_target(1000) on driver 0x201 (slot 0, position mode) is out of range: "
            "sent as 327.67 rad, the limit of its slot (-327.68 to 327.67 rad); targets are in "
            "rad, not degrees");
  EXPECT_EQ(target_report(3276.8f, 0x202, 1, FocMode::Speed),
            "[Motor] set_target(3276.8) on driver 0x202 (slot 1, speed mode) is out of range: "
            "sent as 3276.7 rad/s, the limit of its slot (-3276.8 to 3276.7 rad/s)");
  EXPECT_EQ(target_report(-INFINITY, 0x203, 2, FocMode::Current),
            "[Motor] set_target(-inf) on driver 0x203 (slot 2, current mode) is out of range: "
            "sent as -327.68 A, the limit of its slot (-327.68 to 327.67 A)");
  EXPECT_EQ(target_report(NAN, 0x203, 2, FocMode::Current),
            "[Motor] set_target(nan) on driver 0x203 (slot 2, current mode) is not a number: "
            "sent as 0");
}

}  // namespace
