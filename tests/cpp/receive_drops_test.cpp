// When the kernel's drop counts become report lines: every lost frame counted once, at most one
// report per window, across the count's wrap.
#include "can/receive_drops.hpp"

#include <gtest/gtest.h>

using varnex::ReceiveDrops;
using namespace std::chrono_literals;

TEST(ReceiveDrops, FirstLossIsDueAtOnceLaterOnesAreSummedForAWindow) {
  ReceiveDrops drops;
  const auto t0 = ReceiveDrops::Clock::time_point{} + 1h;
  EXPECT_EQ(drops.due(t0), std::nullopt);
  drops.saw(0);  // a frame from before any loss
  EXPECT_EQ(drops.due(t0), std::nullopt);
  drops.saw(5);
  EXPECT_EQ(drops.due(t0), 5u);
  drops.saw(5);  // a frame queued after the same loss: nothing new
  drops.saw(7);
  drops.saw(12);
  EXPECT_EQ(drops.due(t0 + 999ms), std::nullopt);
  EXPECT_EQ(drops.due(t0 + 1s), 7u);
  EXPECT_EQ(drops.due(t0 + 5s), std::nullopt);
  drops.saw(13);
  EXPECT_EQ(drops.due(t0 + 5s), 1u);  // the window counts from the last report
}

TEST(ReceiveDrops, CountWrapsAndWhatIsLeftIsTakenAtClose) {
  ReceiveDrops drops;
  const auto t0 = ReceiveDrops::Clock::time_point{} + 1h;
  drops.saw(0xFFFFFFF0u);
  EXPECT_EQ(drops.due(t0), 0xFFFFFFF0u);
  drops.saw(0x10);  // 0x20 further on, past the wrap
  EXPECT_EQ(drops.due(t0), std::nullopt);
  EXPECT_EQ(drops.take(), 0x20u);
  EXPECT_EQ(drops.take(), std::nullopt);
}
