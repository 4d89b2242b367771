#include <chrono>

#include <gtest/gtest.h>

#include "runtime/channel.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using namespace varnex::rt;

TEST(Timeout, AReadyResultWinsEvenPastTheDeadline) {
  auto [tx, rx] = make_channel<int>();
  EXPECT_FALSE(tx.send(5));
  auto op = rx.recv_op();
  auto result = block_on(timeout(Clock::now() - 1s, op));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(**result, 5);
}

TEST(Timeout, ElapsesWhenNothingArrives) {
  auto [tx, rx] = make_channel<int>();
  auto op = rx.recv_op();
  auto start = Clock::now();
  auto result = block_on(timeout(Clock::now() + 30ms, op));
  EXPECT_FALSE(result.has_value());
  EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(Sleep, NeverReturnsEarly) {
  auto start = Clock::now();
  block_on(sleep_for(15ms));
  EXPECT_GE(Clock::now() - start, 15ms);
}

TEST(DeadlineAfterMs, OverflowMeansNoDeadline) {
  EXPECT_FALSE(deadline_after_ms(UINT64_MAX).has_value());
  EXPECT_TRUE(deadline_after_ms(1000).has_value());
}

TEST(IntervalRule, SmallLatenessKeepsTheGridLargeLatenessSkipsPassedPoints) {
  const auto period = 10ms;
  const Instant d{std::chrono::seconds(100)};
  EXPECT_EQ(Interval::next_deadline(d, d, period), d + 10ms);
  EXPECT_EQ(Interval::next_deadline(d, d + 3ms, period), d + 10ms);   // 3 ms late: on grid
  EXPECT_EQ(Interval::next_deadline(d, d + 5ms, period), d + 10ms);   // boundary kept
  EXPECT_EQ(Interval::next_deadline(d, d + 15ms, period), d + 20ms);  // >5 ms: skip to grid
  EXPECT_EQ(Interval::next_deadline(d, d + 20ms, period), d + 30ms);  // strictly after now
  EXPECT_EQ(Interval::next_deadline(d, d + 47ms, period), d + 50ms);
}

TEST(Interval, FirstTickIsImmediateAndLaterTicksFollowTheGrid) {
  auto task = []() -> Task<std::chrono::nanoseconds> {
    Interval interval(20ms);
    Instant first = co_await interval.tick();
    co_await interval.tick();
    Instant third = co_await interval.tick();
    co_return third - first;
  };
  auto start = Clock::now();
  auto spacing = block_on(task());
  EXPECT_EQ(spacing, 40ms);  // deadlines are grid points, whatever the wake-up latency
  EXPECT_GE(Clock::now() - start, 40ms);
}
