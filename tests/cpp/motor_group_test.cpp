// The motor group over a scripted bus: what goes out, slot lookup, feedback routing and the
// receive task's lifetime. The wire bytes themselves are covered by motor_protocol_test.
#include "motor/motor_group.hpp"

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "motor/broadcast.hpp"
#include "motor/config_commands.hpp"
#include "motor/setup_watch.hpp"
#include "runtime/channel.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace {

using namespace varnex;
using namespace varnex::motor;
using namespace std::chrono_literals;

// Stands in for the CAN device: records what is queued, delivers what the test feeds in.
class ScriptedBus final : public CanLink {
 public:
  ScriptedBus() {
    auto [tx, rx] = rt::make_channel<CanMessage>();
    incoming_tx_.emplace(std::move(tx));
    incoming_rx_.emplace(std::move(rx));
  }

  Status send(uint32_t id, std::vector<uint8_t> data) override {
    std::lock_guard lock(mutex_);
    ++attempts_;
    if (fail_from_ >= 0 && attempts_ > fail_from_) return Error::os("channel closed");
    sent_.push_back(CanMessage{id, std::move(data)});
    return {};
  }

  // What the bus does with a frame that must go out at once: written (and recorded), no room,
  // or a write error.
  Result<Sent> send_now(uint32_t id, std::span<const uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (now_error_) return *now_error_;
    if (no_room_) return Sent::NoRoom;
    sent_.push_back(CanMessage{id, std::vector<uint8_t>(data.begin(), data.end())});
    return Sent::Written;
  }
  void refuse_now(bool no_room, std::optional<Error> error = std::nullopt) {
    std::lock_guard lock(mutex_);
    no_room_ = no_room;
    now_error_ = std::move(error);
  }

  rt::Task<std::optional<CanMessage>> receive(std::chrono::nanoseconds limit) override {
    receives_.fetch_add(1);
    return next(limit);
  }

  // Sends after the first `n` attempts (counted from now) fail with "channel closed".
  void fail_after(int n) {
    std::lock_guard lock(mutex_);
    fail_from_ = attempts_ + n;
  }
  // The device's task has ended: sends fail, receives return nothing at once.
  void close() override {
    fail_after(0);
    incoming_tx_.reset();
  }
  void deliver(uint32_t id, std::vector<uint8_t> data) {
    (void)incoming_tx_->send(CanMessage{id, std::move(data)});
  }
  void deliver(CanMessage message) { (void)incoming_tx_->send(std::move(message)); }
  std::string interface_name() const override { return "bus0"; }

  std::vector<CanMessage> take_sent() {
    std::lock_guard lock(mutex_);
    return std::exchange(sent_, {});
  }
  std::vector<CanMessage> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  int attempts() {
    std::lock_guard lock(mutex_);
    return attempts_;
  }
  int receives() const { return receives_.load(); }

 private:
  rt::Task<std::optional<CanMessage>> next(std::chrono::nanoseconds limit) {
    auto op = incoming_rx_->recv_op();
    std::optional<std::optional<CanMessage>> got =
        co_await rt::timeout(rt::deadline_after(limit), op);
    if (!got) co_return std::nullopt;
    co_return std::move(*got);
  }

  std::mutex mutex_;
  std::vector<CanMessage> sent_;
  int attempts_ = 0;
  int fail_from_ = -1;
  bool no_room_ = false;
  std::optional<Error> now_error_;
  std::atomic<int> receives_{0};
  std::optional<rt::Sender<CanMessage>> incoming_tx_;
  std::optional<rt::Receiver<CanMessage>> incoming_rx_;
};

std::vector<uint8_t> bytes(const FrameData& frame) { return {frame.begin(), frame.end()}; }

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return pred();
}

// Feedback bytes for position p (float32), speed and current in wire counts.
std::vector<uint8_t> feedback_frame(float position, int16_t speed, int16_t current) {
  std::vector<uint8_t> out(8);
  const uint32_t bits = std::bit_cast<uint32_t>(position);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
  out[4] = static_cast<uint8_t>(speed & 0xFF);
  out[5] = static_cast<uint8_t>((speed >> 8) & 0xFF);
  out[6] = static_cast<uint8_t>(current & 0xFF);
  out[7] = static_cast<uint8_t>((current >> 8) & 0xFF);
  return out;
}

class MotorGroup : public ::testing::Test {
 protected:
  // The receive task ends after its group, at its next suspension, and its repeat limiter prints
  // the summaries it still holds then: wait for the task (it holds the bus until it is gone) and
  // for its lines, so that none of them lands in the next test's capture of fd 2.
  void TearDown() override {
    motor.reset();
    EXPECT_TRUE(eventually([&] { return bus.use_count() == 1; }));
    varnex::flush_stderr();
  }

  std::shared_ptr<ScriptedBus> bus = std::make_shared<ScriptedBus>();
  std::unique_ptr<Motor> motor = Motor::over(bus, 0x100);
};

// ---- configuration traffic ----

TEST_F(MotorGroup, AddDeviceQueuesOpenPairSetModeEndSessionOnTheHostId) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed);
  ASSERT_TRUE(device);
  const uint16_t dest = destination_of(0x201);
  const SessionOpening open = open_session_frames(dest);
  const std::vector<CanMessage> expected{
      {0x100, bytes(open.first)},
      {0x100, bytes(open.second)},
      {0x100, bytes(set_foc_mode_frame(dest, FocMode::Speed))},
      {0x100, bytes(end_session_frame(dest))},
  };
  EXPECT_EQ(bus->take_sent(), expected);
  EXPECT_EQ(motor->device_count(), 1u);
  EXPECT_EQ((*device)->host_id(), 0x100u);
}

TEST_F(MotorGroup, AddDeviceRegistersNothingWhenAnyOfItsFramesFails) {
  for (int queued = 0; queued < 4; ++queued) {
    bus->take_sent();
    const int before = bus->attempts();
    bus->fail_after(queued);
    auto device = motor->add_device(1, 0x202, FocMode::Current);
    ASSERT_FALSE(device) << "failing after " << queued << " frames";
    EXPECT_EQ(device.error(), Error::os("channel closed"));
    EXPECT_EQ(motor->device_count(), 0u);
    EXPECT_EQ(bus->take_sent().size(), static_cast<size_t>(queued));
    // Each step stops the sequence: nothing is tried after the failing frame.
    EXPECT_EQ(bus->attempts() - before, queued + 1);
  }
}

TEST_F(MotorGroup,
       BroadcastCommandsUseTheAllDriversDestinationAndSendTheSecondOpeningFrameOnlyAfterTheFirst) {
  ASSERT_TRUE(motor->enter_configure_broadcast());
  ASSERT_TRUE(motor->set_foc_mode_broadcast(FocMode::Position));
  ASSERT_TRUE(motor->exit_configure_broadcast());
  const SessionOpening open = open_session_frames(kBroadcastDestination);
  const std::vector<CanMessage> expected{
      {0x100, bytes(open.first)},
      {0x100, bytes(open.second)},
      {0x100, bytes(set_foc_mode_frame(kBroadcastDestination, FocMode::Position))},
      {0x100, bytes(end_session_frame(kBroadcastDestination))},
  };
  EXPECT_EQ(bus->take_sent(), expected);

  bus->fail_after(0);
  const int before = bus->attempts();
  EXPECT_EQ(motor->enter_configure_broadcast().error(), Error::os("channel closed"));
  EXPECT_EQ(bus->attempts() - before, 1);
}

TEST_F(MotorGroup, CalibrationSleepsOnlyAfterAQueuedFrame) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed);
  ASSERT_TRUE(device);
  bus->take_sent();
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE((*device)->start_calibration());
  EXPECT_GE(std::chrono::steady_clock::now() - start, kCalibrationPause);
  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(motor->calibrate_broadcast());
  EXPECT_GE(std::chrono::steady_clock::now() - start, kCalibrationPause);
  const std::vector<CanMessage> expected{
      {0x100, bytes(encoder_zero_frame(0x0201))},
      {0x100, bytes(encoder_zero_frame(kBroadcastDestination))},
  };
  EXPECT_EQ(bus->take_sent(), expected);

  bus->close();
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE((*device)->start_calibration());
  EXPECT_FALSE(motor->calibrate_broadcast());
  // Two sleeps would take 400 ms; the bound leaves room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCalibrationPause);
}

// ---- targets and slots ----

FrameData last_frame(ScriptedBus& bus) {
  std::vector<CanMessage> sent = bus.take_sent();
  EXPECT_FALSE(sent.empty());
  FrameData frame{};
  if (sent.empty()) return frame;
  EXPECT_EQ(sent.back().id, 0x100u);
  EXPECT_EQ(sent.back().data.size(), 8u);
  std::copy_n(sent.back().data.begin(), 8, frame.begin());
  return frame;
}

TEST_F(MotorGroup, BroadcastWithoutDevicesIsEightZeroBytes) {
  ASSERT_TRUE(motor->broadcast());
  EXPECT_EQ(last_frame(*bus), FrameData{});
}

TEST_F(MotorGroup, BroadcastCarriesEachDevicesTargetInItsSlotAndTheLaterDeviceWinsASharedSlot) {
  auto a = motor->add_device(0, 0x201, FocMode::Speed).value();
  auto b = motor->add_device(1, 0x202, FocMode::Speed).value();
  auto c = motor->add_device(1, 0x203, FocMode::Current).value();
  a->set_target(10.0f);
  b->set_target(-5.0f);
  c->set_target(1.5f);
  bus->take_sent();
  ASSERT_TRUE(motor->broadcast());
  EXPECT_EQ(last_frame(*bus), (FrameData{0x64, 0x00, 150, 0x00, 0, 0, 0, 0}));

  // Motor::set_target on a shared slot reaches the earlier device, which the frame does not show.
  motor->set_target(1, 7.0f);
  EXPECT_EQ(b->target(), 7.0f);
  EXPECT_EQ(c->target(), 1.5f);
  ASSERT_TRUE(motor->broadcast());
  EXPECT_EQ(last_frame(*bus), (FrameData{0x64, 0x00, 150, 0x00, 0, 0, 0, 0}));
}

TEST_F(MotorGroup, SlotAboveThreeIsStoredAsThreeAndLookupComparesTheRequestAsGiven) {
  auto device = motor->add_device(5, 0x205, FocMode::Current).value();
  EXPECT_EQ(device->slot_index(), 3);
  motor->set_target(5, 2.0f);
  EXPECT_EQ(device->target(), 0.0f);
  EXPECT_EQ(motor->get_feedback(5), std::nullopt);
  motor->set_target(3, 2.0f);
  EXPECT_EQ(device->target(), 2.0f);
  EXPECT_EQ(motor->get_feedback(3), Feedback{});
  bus->take_sent();
  ASSERT_TRUE(motor->broadcast());
  EXPECT_EQ(last_frame(*bus), (FrameData{0, 0, 0, 0, 0, 0, 200, 0}));
}

TEST_F(MotorGroup, TargetEncodingKeepsTheRegistrationModeAfterTheDriverIsSwitched) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  bus->take_sent();
  ASSERT_TRUE(device->set_foc_mode(FocMode::Position));
  EXPECT_EQ(
      bus->take_sent(),
      (std::vector<CanMessage>{{0x100, bytes(set_foc_mode_frame(0x0201, FocMode::Position))}}));
  device->set_target(1.0f);
  EXPECT_EQ(device->mode(), FocMode::Speed);
  EXPECT_EQ(device->encoded_target(), 10);
}

// ---- feedback routing ----

TEST_F(MotorGroup, FeedbackFramesReachTheFirstDeviceWithThatNodeId) {
  auto first = motor->add_device(0, 0x201, FocMode::Speed).value();
  auto twin = motor->add_device(1, 0x201, FocMode::Speed).value();
  EXPECT_EQ(first->get_feedback_blocking(), Feedback{});
  bus->deliver(0x201, {0x00, 0x00, 0xC0, 0x3F, 0x7B, 0x00, 0x06, 0xFF});
  ASSERT_TRUE(eventually([&] { return first->get_feedback_blocking().position == 1.5f; }));
  EXPECT_EQ(first->get_feedback_blocking(), (Feedback{1.5f, 12.3f, -2.5f}));
  EXPECT_EQ(motor->get_feedback(0), (Feedback{1.5f, 12.3f, -2.5f}));
  EXPECT_EQ(twin->get_feedback_blocking(), Feedback{});
}

TEST_F(MotorGroup, EachStoredFeedbackFrameIsCountedAndStampedOnlyOnItsDevice) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  auto other = motor->add_device(1, 0x202, FocMode::Speed).value();
  EXPECT_EQ(device->feedback_count(), 0u);
  EXPECT_EQ(device->feedback_age(), std::nullopt);
  bus->deliver(0x201, {1, 2, 3});  // wrong length: not stored, so not counted
  bus->deliver(0x201, feedback_frame(1.0f, 0, 0));
  bus->deliver(0x201, feedback_frame(2.0f, 0, 0));
  ASSERT_TRUE(eventually([&] { return device->feedback_count() == 2; }));
  const std::optional<double> age = device->feedback_age();
  ASSERT_TRUE(age.has_value());
  EXPECT_GE(*age, 0.0);
  EXPECT_LT(*age, 60.0);
  ASSERT_TRUE(eventually([&] { return *device->feedback_age() > *age; }));
  EXPECT_EQ(device->feedback_count(), 2u);
  EXPECT_EQ(other->feedback_count(), 0u);
  EXPECT_EQ(other->feedback_age(), std::nullopt);
}

TEST_F(MotorGroup, WrongLengthAndUnmatchedFramesArePrintedAndChangeNothing) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  varnex::rt::testing::capture_stderr();
  bus->deliver(0x201, {1, 2, 3, 4, 5, 6, 7});
  bus->deliver(0x1ABCDE, {});
  bus->deliver(0x7F, {0, 0, 192, 63, 123, 0, 6, 255});
  // Frames are handled in order, so once this one is stored the others have been printed.
  bus->deliver(0x201, feedback_frame(4.0f, 1, 2));
  const bool stored = eventually([&] { return device->get_feedback_blocking().position == 4.0f; });
  const std::string printed = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(stored);
  EXPECT_EQ(printed,
            "Warning: ignoring CAN frame 0x201 with unexpected length 7\n"
            "Warning: ignoring CAN frame 0x1ABCDE with unexpected length 0\n"
            "[Motor] unmatched feedback frame: id=0x7F, data=[0, 0, 192, 63, 123, 0, 6, 255]\n");
  EXPECT_EQ(device->get_feedback_blocking(), (Feedback{4.0f, 0.1f, 0.02f}));
}

TEST_F(MotorGroup, ErrorFramesAreNeverFeedbackAndEachBusStateChangePrintsOneLine) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  rt::testing::capture_stderr();
  auto error_frame = [](uint32_t classes, uint8_t detail) {
    CanMessage m{classes, {0, detail, 0, 0, 0, 0, 0, 0}};
    m.error = true;
    return m;
  };
  bus->deliver(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE));
  bus->deliver(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE));  // no change: no line
  bus->deliver(error_frame(CAN_ERR_ACK, 0));                         // tells no state
  bus->deliver(error_frame(0x201, 0));  // an error class that equals the node id: not feedback
  bus->deliver(error_frame(CAN_ERR_BUSOFF, 0));
  bus->deliver(error_frame(CAN_ERR_RESTARTED, 0));
  // Stamped 5 s ago by the kernel: its age counts from then, not from when it was stored.
  CanMessage feedback{0x201, feedback_frame(4.0f, 1, 2)};
  feedback.received_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             (std::chrono::system_clock::now() - 5s).time_since_epoch())
                             .count();
  bus->deliver(feedback);
  const bool stored = eventually([&] { return device->feedback_count() == 1; });
  const std::string printed = rt::testing::captured_stderr();
  ASSERT_TRUE(stored);
  EXPECT_EQ(printed,
            "[Motor] bus state of bus0: unknown -> passive\n"
            "[Motor] bus state of bus0: passive -> bus-off\n"
            "[Motor] bus state of bus0: bus-off -> active\n");
  EXPECT_GE(*device->feedback_age(), 5.0);
  EXPECT_LT(*device->feedback_age(), 60.0);

  // A stamp ahead of the wall clock, as after the clock was stepped back: the age still grows
  // from the store, on the monotonic clock.
  CanMessage after_step{0x201, feedback_frame(4.0f, 1, 2)};
  after_step.received_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               (std::chrono::system_clock::now() + 10s).time_since_epoch())
                               .count();
  bus->deliver(after_step);
  ASSERT_TRUE(eventually([&] { return device->feedback_count() == 2; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_GE(*device->feedback_age(), 0.1);
  EXPECT_LT(*device->feedback_age(), 5.0);
}

// A bus shared with other nodes: a line per id, not per frame.
TEST_F(MotorGroup, RepeatedForeignFramesOfOneIdPrintOneLineEachKind) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  rt::testing::capture_stderr();
  for (uint8_t k = 0; k < 200; ++k) {
    bus->deliver(0x7E5, {k, 0, 0, 0, 0, 0, 0, 0});
    bus->deliver(0x7E6, {k});
  }
  bus->deliver(0x201, feedback_frame(4.0f, 1, 2));
  const bool stored = eventually([&] { return device->get_feedback_blocking().position == 4.0f; });
  const std::string printed = rt::testing::captured_stderr();
  ASSERT_TRUE(stored);
  EXPECT_EQ(printed,
            "[Motor] unmatched feedback frame: id=0x7E5, data=[0, 0, 0, 0, 0, 0, 0, 0]\n"
            "Warning: ignoring CAN frame 0x7E6 with unexpected length 1\n");
}

// A driver that comes up after its setup leaves the first targets unanswered: one line names
// it; with reapply_setup its setup (in the mode last given) goes out again. A driver that answers
// at once gets neither.
TEST(MotorGroupSetupWatch, ALateFirstAnswerIsReportedAndWithReapplySetupItsSetupIsSentAgain) {
  for (const bool reapply : {false, true}) {
    SCOPED_TRACE(reapply ? "reapply_setup" : "report only");
    auto bus = std::make_shared<ScriptedBus>();
    auto motor = Motor::over(bus, 0x100, ReceiveOptions{reapply});
    auto prompt = motor->add_device(0, 0x202, FocMode::Speed).value();
    auto late = motor->add_device(1, 0x201, FocMode::Speed).value();
    ASSERT_TRUE(late->set_foc_mode(FocMode::Position));  // the mode last given is the one re-sent
    varnex::rt::testing::capture_stderr();
    ASSERT_TRUE(motor->broadcast());
    bus->deliver(0x202, feedback_frame(1.0f, 0, 0));
    // The condition itself: targets unanswered for longer than kLateAnswer (the receive task
    // looks at the targets at least every 100 ms meanwhile).
    std::this_thread::sleep_for(kLateAnswer + 150ms);
    ASSERT_TRUE(motor->broadcast());
    bus->take_sent();
    bus->deliver(0x201, feedback_frame(2.0f, 0, 0));
    bus->deliver(0x201, feedback_frame(3.0f, 0, 0));  // handled after the first one's report
    const bool stored = eventually([&] { return late->get_feedback_blocking().position == 3.0f; });
    const std::string printed = varnex::rt::testing::captured_stderr();
    ASSERT_TRUE(stored);
    EXPECT_EQ(printed.find("0x202"), std::string::npos) << printed;
    const std::string head = "[Motor] driver 0x201 (slot 1) first answered ";
    ASSERT_EQ(printed.rfind(head, 0), 0u) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    const std::string tail = reapply ? "(position mode) was sent; its setup was sent again\n"
                                     : "Device.set_foc_mode('position') between enter_configure() "
                                       "and exit_configure() re-sends it (or create the Motor with "
                                       "reapply_setup=True)\n";
    EXPECT_TRUE(printed.ends_with(tail)) << printed;
    const uint16_t dest = destination_of(0x201);
    const SessionOpening open = open_session_frames(dest);
    const std::vector<CanMessage> setup{
        {0x100, bytes(open.first)},
        {0x100, bytes(open.second)},
        {0x100, bytes(set_foc_mode_frame(dest, FocMode::Position))},
        {0x100, bytes(end_session_frame(dest))},
    };
    EXPECT_EQ(bus->sent(), reapply ? setup : std::vector<CanMessage>{});
  }
}

TEST_F(MotorGroup, SlotMistakesAndClampedTargetsArePrintedOncePerMistake) {
  varnex::rt::testing::capture_stderr();
  auto first = motor->add_device(3, 0x204, FocMode::Position).value();
  auto limited = motor->add_device(7, 0x205, FocMode::Position).value();
  auto fine = motor->add_device(0, 0x201, FocMode::Position).value();
  for (int i = 0; i < 50; ++i) limited->set_target(1000.0f + static_cast<float>(i));
  fine->set_target(3.0f);
  const std::string printed = varnex::rt::testing::captured_stderr();
  EXPECT_EQ(printed, *slot_report(7, 3, 0x205, 0x204u) + "\n" +
                         *target_report(1000.0f, 0x205, 3, FocMode::Position) + "\n");
  // The clamp itself stays: the later device carries slot 3, saturated.
  ASSERT_TRUE(motor->broadcast());
  EXPECT_EQ(last_frame(*bus), (FrameData{0x2C, 0x01, 0, 0, 0, 0, 0xFF, 0x7F}));
  EXPECT_EQ(limited->slot_index(), 3);
}

TEST_F(MotorGroup, ReaderNeverSeesValuesFromTwoDifferentFrames) {
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  constexpr int kFrames = 3000;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const Feedback f = device->get_feedback_blocking();
      // Frame k carries position k and k counts of speed and current: a mix of two frames breaks
      // it.
      const float k = f.position;
      if (f.speed != k / 10.0f || f.current != k / 100.0f) torn.fetch_add(1);
    }
  });
  for (int k = 1; k <= kFrames; ++k) {
    bus->deliver(0x201, feedback_frame(static_cast<float>(k), static_cast<int16_t>(k),
                                       static_cast<int16_t>(k)));
  }
  const bool all = eventually([&] { return device->get_feedback_blocking().position == kFrames; });
  done = true;
  reader.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(torn.load(), 0);
}

// ---- the target board and the broadcast ----

int16_t slot_of(const std::vector<uint8_t>& frame, int slot) {
  return static_cast<int16_t>(frame[2 * slot] | (frame[2 * slot + 1] << 8));
}

// Each writer step sets slot 0 to k, then slot 1 to -k: a frame may show (k, -(k-1)) or (k, -k),
// states that existed, but never a slot 1 ahead of slot 0, which only a frame read slot by slot
// while the writer went on can show.
TEST_F(MotorGroup, EveryBroadcastFrameIsTheTargetsOfOneMoment) {
  auto a = motor->add_device(0, 0x201, FocMode::Speed).value();
  auto b = motor->add_device(1, 0x202, FocMode::Speed).value();
  bus->take_sent();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int k = 1; k <= 3000; ++k) {
      a->set_target(static_cast<float>(k));
      b->set_target(static_cast<float>(-k));
    }
    done = true;
  });
  int frames = 0;
  int impossible = 0;
  while (!done.load()) {
    ASSERT_TRUE(motor->broadcast());
    for (const CanMessage& m : bus->take_sent()) {
      ++frames;
      const int k = slot_of(m.data, 0) / 10;
      const int minus = -slot_of(m.data, 1) / 10;
      if (minus != k && minus != k - 1) ++impossible;
    }
  }
  writer.join();
  EXPECT_GT(frames, 0);
  EXPECT_EQ(impossible, 0);
}

TEST(TargetBoard, SafeTargetsStopCurrentAndSpeedAndHoldAPositionTheSlotCanCarry) {
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Speed, 12.0f, true, 3.0f), 0.0f);
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Current, -2.0f, false, 0.0f), 0.0f);
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Position, 2.0f, true, 1.5f), 1.5f);
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Position, 2.0f, false, 9.0f),
            2.0f);  // never reported
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Position, 2.0f, true, std::nanf("")), 2.0f);
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Position, 2.0f, true, 400.0f), 327.67f);
  EXPECT_EQ(TargetBoard::safe_target(FocMode::Position, -500.0f, false, 0.0f), -327.68f);
}

class Broadcasting : public MotorGroup {
 protected:
  // The group goes first: its broadcast reads the registry's stop flag until it has ended.
  ~Broadcasting() override { motor.reset(); }

  TaskManager registry;

  TimerHandle start(double hz, std::optional<double> watchdog = std::nullopt,
                    TaskManager* in = nullptr) {
    BroadcastOptions options;
    options.frequency_hz = hz;
    options.watchdog_s = watchdog;
    Result<TimerHandle> handle = motor->start_broadcast(options, next_id_++, in ? *in : registry);
    EXPECT_TRUE(handle) << (handle ? "" : handle.error().message);
    handle->adopt();
    return std::move(handle).value();
  }
  std::size_t frames_sent() { return bus->sent().size(); }

  std::uint64_t next_id_ = 100;
};

TEST_F(Broadcasting, FramesCarryTheTargetsAsTheyAreSetAndASecondBroadcastIsRefused) {
  auto a = motor->add_device(0, 0x201, FocMode::Speed).value();
  bus->take_sent();
  a->set_target(1.0f);
  TimerHandle handle = start(1000.0);
  ASSERT_TRUE(eventually([&] { return frames_sent() >= 5; }));
  a->set_target(2.5f);
  ASSERT_TRUE(eventually([&] {
    const std::vector<CanMessage> sent = bus->sent();
    return slot_of(sent.back().data, 0) == 25;
  }));
  EXPECT_EQ(bus->sent().front(), (CanMessage{0x100, {10, 0, 0, 0, 0, 0, 0, 0}}));
  BroadcastOptions again;
  again.frequency_hz = 10.0;
  Result<TimerHandle> second = motor->start_broadcast(again, 200, registry);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), Error::runtime("a broadcast is already running on this Motor "
                                           "(TimerHandle id=100); stop it first"));
  EXPECT_EQ(registry.timer_count(), 1u);
  handle.stop();
  // A stopped one may be replaced at once: the start waits for its last frame.
  TimerHandle next = start(500.0);
  EXPECT_TRUE(next.is_running());
  EXPECT_GT(handle.tick_count(), 0u);
  next.stop();
}

TEST_F(Broadcasting, APeriodThatCannotBeWrittenAtOnceIsSkippedCountedAndNotSentLater) {
  auto a = motor->add_device(0, 0x201, FocMode::Current).value();
  a->set_target(1.0f);
  bus->take_sent();
  bus->refuse_now(true);
  rt::testing::capture_stderr();
  TimerHandle handle = start(1000.0);
  ASSERT_TRUE(eventually([&] { return motor->broadcast_skipped() >= 30; }));
  bus->refuse_now(false, Error::os("Network is down (os error 100)"));
  const std::uint64_t before = motor->broadcast_skipped();
  ASSERT_TRUE(eventually([&] { return motor->broadcast_skipped() >= before + 30; }));
  a->set_target(2.0f);
  bus->refuse_now(false);
  ASSERT_TRUE(eventually([&] { return frames_sent() >= 3; }));
  handle.stop();
  const std::string printed = rt::testing::captured_stderr();
  // Nothing was queued meanwhile: once the bus takes frames again, the first carries the target
  // of that moment.
  const std::vector<CanMessage> sent = bus->sent();
  EXPECT_EQ(sent.front(), (CanMessage{0x100, {200, 0, 0, 0, 0, 0, 0, 0}}));
  EXPECT_EQ(printed.find("[Motor] broadcast skipped a period: no room to write it at once"), 0u)
      << printed;
  EXPECT_NE(printed.find("\n[Motor] broadcast skipped a period: Network is down (os error 100)\n"),
            std::string::npos)
      << printed;
  // One line per reason and second, not one per period.
  EXPECT_LE(std::count(printed.begin(), printed.end(), '\n'), 6) << printed;
}

TEST_F(Broadcasting, TheWatchdogMakesTheTargetsSafeOnceAndASetResumesThem) {
  auto speed = motor->add_device(0, 0x201, FocMode::Speed).value();
  auto held = motor->add_device(1, 0x202, FocMode::Position).value();
  auto quiet = motor->add_device(3, 0x204, FocMode::Position).value();
  bus->deliver(0x202, feedback_frame(1.5f, 0, 0));
  ASSERT_TRUE(eventually([&] { return held->feedback_count() == 1; }));
  speed->set_target(10.0f);
  held->set_target(3.0f);
  quiet->set_target(2.0f);  // never reports: it holds its last target
  rt::testing::capture_stderr();
  TimerHandle handle = start(1000.0, 0.05);
  ASSERT_TRUE(eventually([&] { return motor->watchdog_trips() == 1; }));
  std::this_thread::sleep_for(100ms);  // quiet on: still one trip
  EXPECT_EQ(motor->watchdog_trips(), 1u);
  EXPECT_EQ(speed->target(), 0.0f);
  EXPECT_EQ(held->target(), 1.5f);
  EXPECT_EQ(quiet->target(), 2.0f);
  EXPECT_EQ(bus->sent().back().data, (std::vector<uint8_t>{0, 0, 150, 0, 0, 0, 200, 0}));
  speed->set_target(4.0f);
  ASSERT_TRUE(eventually([&] { return slot_of(bus->sent().back().data, 0) == 40; }));
  EXPECT_EQ(slot_of(bus->sent().back().data, 1), 150);  // the others stay safe until set
  handle.stop();
  EXPECT_EQ(rt::testing::captured_stderr(),
            "[Motor] watchdog: no target set for 0.05 s; targets made safe (speed and current 0, "
            "position held)\n");
}

TEST_F(Broadcasting, EveryEndWithAWatchdogSendsTheSafeFrameLast) {
  auto a = motor->add_device(0, 0x201, FocMode::Speed).value();
  const std::vector<uint8_t> safe(8, 0);
  // The handle's stop, the registry's stop_all, the group's close (and destruction, the same
  // path); a safe frame that finds no room is queued rather than lost.
  for (const std::string end : {"stop", "no room", "stop_all", "close"}) {
    auto own = std::make_unique<TaskManager>();  // stop_all's flag stays set for good
    TaskManager& registry = *own;
    a->set_target(7.0f);
    bus->take_sent();
    TimerHandle handle = start(1000.0, 10.0, &registry);
    ASSERT_TRUE(eventually([&] { return frames_sent() >= 3; })) << end;
    if (end == "stop") handle.stop();
    if (end == "stop_all") registry.stop_all();
    if (end == "no room") {
      bus->refuse_now(true);
      handle.stop();
    }
    if (end == "close") motor->close();
    ASSERT_TRUE(registry.wait_all(10'000ms)) << end;
    const std::vector<CanMessage> sent = bus->take_sent();
    EXPECT_EQ(sent.back().data, safe) << end;
    EXPECT_EQ(slot_of(sent[sent.size() - 2].data, 0), 70) << end;
    EXPECT_EQ(a->target(), 0.0f) << end;
    bus->refuse_now(false);
  }
}

// ---- lifetime ----

TEST(MotorGroupLifetime, DestroyedGroupsReceiveTaskEndsAndItsDevicesStillSend) {
  auto bus = std::make_shared<ScriptedBus>();
  auto motor = Motor::over(bus, 0x100);
  auto device = motor->add_device(0, 0x201, FocMode::Speed).value();
  ASSERT_TRUE(eventually([&] { return bus->receives() > 0; }));
  motor.reset();
  // The task lets go of the link at its next suspension; what remains is ours and the device's.
  ASSERT_TRUE(eventually([&] { return bus.use_count() == 2; }));
  const int receives = bus->receives();
  varnex::rt::testing::capture_stderr();
  bus->deliver(0x7F, {1, 2, 3, 4, 5, 6, 7, 8});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(varnex::rt::testing::captured_stderr(), "");
  EXPECT_EQ(bus->receives(), receives);

  // The device outlives its group and still sends on the host id.
  bus->take_sent();
  ASSERT_TRUE(device->exit_configure());
  EXPECT_EQ(bus->take_sent(), (std::vector<CanMessage>{{0x100, bytes(end_session_frame(0x0201))}}));
}

// A link whose receive blocks the calling worker until released, as a diagnostic write to a
// standard error pipe that nobody reads does.
class StuckLink final : public CanLink {
 public:
  Status send(uint32_t, std::vector<uint8_t>) override { return {}; }
  Result<Sent> send_now(uint32_t, std::span<const uint8_t>) override { return Sent::Written; }
  rt::Task<std::optional<CanMessage>> receive(std::chrono::nanoseconds) override {
    std::unique_lock lock(mutex_);
    stuck_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    return nothing();
  }
  void wait_until_stuck() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stuck_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  static rt::Task<std::optional<CanMessage>> nothing() { co_return std::nullopt; }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stuck_ = false;
  bool released_ = false;
};

TEST(MotorGroupLifetime, DestroyingTheGroupNeverWaitsForAStuckReceiveTask) {
  auto link = std::make_shared<StuckLink>();
  auto motor = Motor::over(link, 0x100);
  link->wait_until_stuck();
  auto destroyed = std::async(std::launch::async, [&] { motor.reset(); });
  const bool returned = destroyed.wait_for(10s) == std::future_status::ready;
  link->release();  // lets a destructor that does wait finish, so the test ends either way
  destroyed.wait();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(eventually([&] { return link.use_count() == 1; }));
}

TEST(MotorGroupLifetime, ReceiveTaskWaitsBetweenAttemptsOnceTheLinkDeliversNothing) {
  auto bus = std::make_shared<ScriptedBus>();
  auto motor = Motor::over(bus, 0x100);
  bus->close();
  const int before = bus->receives();
  std::this_thread::sleep_for(500ms);
  const int attempts = bus->receives() - before;
  // About one attempt per 100 ms; polling without a pause would make millions.
  EXPECT_GE(attempts, 2);
  EXPECT_LE(attempts, 10);
}

}  // namespace
