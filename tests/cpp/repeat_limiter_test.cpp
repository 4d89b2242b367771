// The limiter behind the CAN tasks' fault lines: one line per distinct text per window, with every
// occurrence either printed or counted in the next printed line of that text.
#include "runtime/repeat_limiter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using varnex::RepeatLimiter;
using namespace std::chrono_literals;

namespace {

const std::string kDown = "Failed to send CAN frame: Network is down (os error 100)";
const std::string kGone = "Failed to send CAN frame: No such device or address (os error 6)";

}  // namespace

TEST(RepeatLimiter, AThousandRepeatsASecondPrintOneLinePerSecondAndLoseNoCount) {
  RepeatLimiter limiter;
  const auto start = RepeatLimiter::Clock::time_point{} + 1h;
  std::vector<std::string> printed;
  for (int ms = 0; ms < 2500; ++ms) {
    if (auto line = limiter.admit(kDown, start + std::chrono::milliseconds(ms)))
      printed.push_back(*line);
  }
  EXPECT_EQ(printed, (std::vector<std::string>{
                         kDown,
                         kDown + " (999 similar messages suppressed)",
                         kDown + " (999 similar messages suppressed)",
                     }));
  // The 499 repeats after the last printed line: not due before the window, then one summary
  // that stands for the last of them.
  EXPECT_TRUE(limiter.due(start + 2999ms).empty());
  EXPECT_EQ(limiter.due(start + 3000ms),
            std::vector<std::string>{kDown + " (498 similar messages suppressed)"});
  EXPECT_TRUE(limiter.due(start + 9000ms).empty());
}

TEST(RepeatLimiter, DistinctTextsAreLimitedSeparatelyAndASingleLateRepeatIsPrintedPlain) {
  RepeatLimiter limiter;
  const auto start = RepeatLimiter::Clock::time_point{} + 1h;
  EXPECT_EQ(limiter.admit(kDown, start), kDown);
  EXPECT_EQ(limiter.admit(kGone, start + 10ms), kGone);
  EXPECT_EQ(limiter.admit(kDown, start + 20ms), std::nullopt);
  EXPECT_EQ(limiter.due(start + 1010ms), std::vector<std::string>{kDown});
  // A text forgotten after a quiet window is new again.
  EXPECT_TRUE(limiter.due(start + 5s).empty());
  EXPECT_EQ(limiter.admit(kGone, start + 5s), kGone);
}

TEST(RepeatLimiter, KeyedRepeatsAreNeitherFormattedNorPrintedInsideTheWindowAndAreAllCounted) {
  RepeatLimiter limiter;
  const auto start = RepeatLimiter::Clock::time_point{} + 1h;
  int formatted = 0;
  const auto line = [&](int data) {
    return [&formatted, data] {
      ++formatted;
      return "[Motor] unmatched feedback frame: id=0x7E5, data=[" + std::to_string(data) + "]";
    };
  };
  EXPECT_EQ(limiter.admit_keyed("unmatched 7E5", start, line(1)),
            "[Motor] unmatched feedback frame: id=0x7E5, data=[1]");
  // Another id is another fault, limited on its own.
  EXPECT_TRUE(limiter.admit_keyed("unmatched 7E6", start, line(9)).has_value());
  for (int ms = 1; ms < 1000; ++ms) {
    EXPECT_EQ(limiter.admit_keyed("unmatched 7E5", start + std::chrono::milliseconds(ms), line(ms)),
              std::nullopt);
  }
  EXPECT_EQ(formatted, 2);
  EXPECT_EQ(
      limiter.admit_keyed("unmatched 7E5", start + 1000ms, line(1000)),
      "[Motor] unmatched feedback frame: id=0x7E5, data=[1000] (999 similar messages suppressed)");
  // Repeats left when the key goes quiet: the last printed line again, counting them all.
  limiter.admit_keyed("unmatched 7E5", start + 1500ms, line(1500));
  limiter.admit_keyed("unmatched 7E5", start + 1600ms, line(1600));
  EXPECT_EQ(limiter.due(start + 2000ms),
            std::vector<std::string>{"[Motor] unmatched feedback frame: id=0x7E5, data=[1000] (2 "
                                     "similar messages suppressed)"});
}
