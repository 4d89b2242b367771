#include "runtime/time.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "runtime/channel.hpp"
#include "runtime/clock.hpp"
#include "runtime/runtime.hpp"

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
  EXPECT_FALSE(deadline_after(std::chrono::nanoseconds::max()).has_value());
  EXPECT_TRUE(deadline_after_ms(1000).has_value());
}

// The missed-tick rule, on explicit instants: no clock is read.
TEST(NextTick, SmallLatenessKeepsTheGridLargeLatenessSkipsPassedPoints) {
  const auto period = 10ms;
  const MissedTicks kept = Interval::kMissedTicks;
  const Instant d{std::chrono::seconds(100)};
  EXPECT_EQ(next_tick(d, d, period, kept), d + 10ms);
  EXPECT_EQ(next_tick(d, d + 3ms, period, kept), d + 10ms);   // 3 ms late: on grid
  EXPECT_EQ(next_tick(d, d + 5ms, period, kept), d + 10ms);   // boundary kept
  EXPECT_EQ(next_tick(d, d + 15ms, period, kept), d + 20ms);  // >5 ms: skip to grid
  EXPECT_EQ(next_tick(d, d + 20ms, period, kept), d + 30ms);  // strictly after now
  EXPECT_EQ(next_tick(d, d + 47ms, period, kept), d + 50ms);
  // A period shorter than the kept lateness: a tick 3 ms late makes up the next one at once.
  EXPECT_EQ(next_tick(d, d + 3ms, 1ms, kept), d + 1ms);
  // The same lateness kept within one period of 1 ms: the points passed are skipped.
  EXPECT_EQ(next_tick(d, d + 3ms, 1ms, MissedTicks::kept_within_a_period()), d + 4ms);
}

// The timer threads keep one period: a call that overran is served at once, the points passed
// during it are skipped.
TEST(NextTick, KeepingOnePeriodServesTheLateCallAndSkipsThePassedPoints) {
  const auto p = 10ms;
  const MissedTicks one = MissedTicks::kept_within_a_period();
  const Instant d{std::chrono::seconds(1000)};
  EXPECT_EQ(next_tick(d, d + 5ms, p, one), d + 10ms);
  EXPECT_EQ(next_tick(d, d + 10ms, p, one), d + 10ms);  // exactly on the next point
  EXPECT_EQ(next_tick(d, d + 15ms, p, one), d + 20ms);  // 10 ms skipped
  EXPECT_EQ(next_tick(d, d + 20ms, p, one), d + 30ms);  // strictly after now
  EXPECT_EQ(next_tick(d, d + 1234567us, p, one), d + 1240ms);
}

TEST(NextTick, DoesNotOverflowForLongPeriodsFarBehind) {
  const Instant due{std::chrono::hours(24 * 365)};
  const std::chrono::nanoseconds p{999'999'937};
  const MissedTicks one = MissedTicks::kept_within_a_period();
  const auto now = due + std::chrono::hours(24 * 365 * 50) + 17ns;
  const auto next = next_tick(due, now, p, one);
  EXPECT_GT(next, now);
  EXPECT_LE(next - now, p);
  EXPECT_EQ((next - due).count() % p.count(), 0);
}

TEST(ToTimespec, SplitsNanosecondsAndNeverGivesZero) {
  const timespec ts = to_timespec(Instant(std::chrono::nanoseconds(3'000'000'007)));
  EXPECT_EQ(ts.tv_sec, 3);
  EXPECT_EQ(ts.tv_nsec, 7);
  const timespec first = to_timespec(Instant{});
  EXPECT_EQ(first.tv_sec, 0);
  EXPECT_EQ(first.tv_nsec, 1);
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
