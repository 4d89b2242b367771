#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/runtime.hpp"
#include "tasks/precision_sleep.hpp"
#include "tasks/timer_engine.hpp"
#include "tasks/timer_format.hpp"
#include "tasks/timer_loops.hpp"
#include "tasks/timer_period.hpp"

namespace varnex {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

double ms_between(TimerInstant from, TimerInstant to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Records when each call starts. One call (index `slow_index`) takes `slow_for`; after
// `calls_wanted` calls the callback clears `running` itself, so the loop ends there.
class RecordingCallback final : public TickCallback {
 public:
  RecordingCallback(std::atomic<bool>& running, std::size_t calls_wanted, std::size_t slow_index,
                    nanoseconds slow_for)
      : running_(running), wanted_(calls_wanted), slow_index_(slow_index), slow_for_(slow_for) {}

  bool call() noexcept override {
    std::lock_guard lock(mutex_);
    starts_.push_back(TimerClock::now());
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    thread_name_ = name;
    if (starts_.size() - 1 == slow_index_) std::this_thread::sleep_for(slow_for_);
    if (starts_.size() >= wanted_) running_.store(false);
    return keep_going_;
  }

  std::vector<TimerInstant> starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  std::string thread_name() {
    std::lock_guard lock(mutex_);
    return thread_name_;
  }
  bool keep_going_ = true;

 private:
  std::mutex mutex_;
  std::atomic<bool>& running_;
  std::size_t wanted_;
  std::size_t slow_index_;
  nanoseconds slow_for_;
  std::vector<TimerInstant> starts_;
  std::string thread_name_;
};

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// ---- period, names, formats ----

TEST(TimerPeriod, RoundsOneOverFrequencyToTheNearestNanosecond) {
  EXPECT_EQ(period_from_frequency(3.0).value(), nanoseconds(333'333'333));
  EXPECT_EQ(period_from_frequency(7000.0).value(), nanoseconds(142'857));
  EXPECT_EQ(period_from_frequency(1.0).value(), nanoseconds(1'000'000'000));
  EXPECT_EQ(period_from_frequency(0.5).value(), nanoseconds(2'000'000'000));
  EXPECT_EQ(period_from_frequency(1e9).value(), nanoseconds(1));
  EXPECT_EQ(period_from_frequency(1.5e9).value(), nanoseconds(1));  // 0.67 ns
  // The double nearest 1/1e-9 is 999999999.999999881 s, exactly.
  EXPECT_EQ(period_from_frequency(1e-9).value(), nanoseconds(999'999'999'999'999'881));
  EXPECT_EQ(period_from_frequency(0.25).value(), nanoseconds(4'000'000'000));
}

TEST(TimerPeriod, FrequenciesWithoutAUsablePeriodAreValueErrors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double hz : {nan, inf, 2.1e9, 1e300, 1e-11, 1e-300, 4.9e-324, 0.0, -1.0}) {
    auto period = period_from_frequency(hz);
    ASSERT_FALSE(period.ok()) << hz;
    EXPECT_EQ(period.error().kind, ErrorKind::Value) << hz;
  }
  EXPECT_EQ(period_from_frequency(inf).error().message,
            "frequency_hz is too high: its period rounds to 0 ns");
  EXPECT_EQ(period_from_frequency(1e-11).error().message,
            "frequency_hz is too low: its period is longer than 146 years");
}

TEST(TimerNames, ThreadNamesUseTheDisplayNameAndModesHaveLowerCaseNames) {
  EXPECT_EQ(timer_thread_name(7, TimerPrecision::High), "timer-7-High");
  EXPECT_EQ(timer_thread_name(12, TimerPrecision::Realtime), "timer-12-Realtime");
  EXPECT_STREQ(lower_name(TimerPrecision::Normal), "normal");
  EXPECT_STREQ(lower_name(TimerPrecision::Realtime), "realtime");
  EXPECT_EQ(spin_window(TimerPrecision::High), 800us);
  EXPECT_EQ(spin_window(TimerPrecision::Realtime), 3ms);
}

TEST(TimerFormat, ShortestRoundTripWithoutExponent) {
  EXPECT_EQ(format_shortest_positional(10.0), "10");
  EXPECT_EQ(format_shortest_positional(2.5), "2.5");
  EXPECT_EQ(format_shortest_positional(1e-7), "0.0000001");
  EXPECT_EQ(format_shortest_positional(1e21), "1000000000000000000000");
  EXPECT_EQ(format_shortest_positional(0.1), "0.1");
  EXPECT_EQ(format_shortest_positional(10000.001), "10000.001");
  EXPECT_EQ(format_shortest_positional(std::nan("")), "NaN");
  EXPECT_EQ(format_shortest_positional(HUGE_VAL), "inf");
}

TEST(TimerFormat, OneDecimalRoundsTheExactValueTiesToEven) {
  EXPECT_EQ(format_one_decimal(100.0), "100.0");
  EXPECT_EQ(format_one_decimal(99.96), "100.0");
  EXPECT_EQ(format_one_decimal(0.25), "0.2");
  EXPECT_EQ(format_one_decimal(0.35), "0.3");  // 0.34999... in binary
  EXPECT_EQ(format_one_decimal(0.0), "0.0");
  EXPECT_EQ(format_one_decimal(1e21), "1000000000000000000000.0");
  EXPECT_EQ(format_one_decimal(std::nan("")), "NaN");
  EXPECT_EQ(format_one_decimal(HUGE_VAL), "inf");
}

// ---- the hybrid wait and the catch-up rule ----

TEST(PrecisionSleep, PassedTargetReturnsAtOnceWithoutSleeping) {
  const auto before = TimerClock::now();
  EXPECT_FALSE(precision_sleep_until_sync(before - 1ms, kHighSpinWindow));
  EXPECT_FALSE(precision_sleep_until_sync(before, kHighSpinWindow));
  EXPECT_LT(TimerClock::now() - before, 50ms);
}

TEST(PrecisionSleep, TargetInsideTheWindowOnlySpinsAndNeverReturnsEarly) {
  const auto target = TimerClock::now() + 500us;
  EXPECT_FALSE(precision_sleep_until_sync(target, kHighSpinWindow));
  EXPECT_GE(TimerClock::now(), target);
}

TEST(PrecisionSleep, FarTargetSleepsFirstAndNeverReturnsEarly) {
  for (int i = 0; i < 5; ++i) {
    const auto target = TimerClock::now() + 5ms;
    EXPECT_TRUE(precision_sleep_until_sync(target, kHighSpinWindow));
    EXPECT_GE(TimerClock::now(), target);
  }
}

TEST(CatchUp, MovesToTheFirstGridPointStrictlyAfterNow) {
  const TimerInstant start{std::chrono::seconds(1000)};
  const auto p = 10ms;
  // Not behind: unchanged (also exactly on the point).
  EXPECT_EQ(catch_up(start + 30ms, start + 25ms, p), start + 30ms);
  EXPECT_EQ(catch_up(start + 30ms, start + 30ms, p), start + 30ms);
  // The call at 10 ms took 25 ms: at 35 ms the next point is 40 ms; 30 ms is skipped.
  EXPECT_EQ(catch_up(start + 30ms, start + 35ms, p), start + 40ms);
  // Exactly on a later grid point: strictly after it.
  EXPECT_EQ(catch_up(start + 30ms, start + 40ms, p), start + 50ms);
  EXPECT_EQ(catch_up(start + 30ms, start + 1234567us, p), start + 1240ms);
}

TEST(CatchUp, DoesNotOverflowForLongPeriodsFarBehind) {
  const TimerInstant next{std::chrono::hours(24 * 365)};
  const nanoseconds p{999'999'937};
  const auto now = next + std::chrono::hours(24 * 365 * 50) + 17ns;
  const auto moved = catch_up(next, now, p);
  EXPECT_GT(moved, now);
  EXPECT_LE(moved - now, p);
  EXPECT_EQ((moved - next).count() % p.count(), 0);
}

// ---- the thread engine ----

TEST(TimerThreadLoop, OverrunSkipsPassedGridPointsAndKeepsThePhase) {
  // Period 50 ms; the call at 50 ms takes 125 ms. Calls start at 0, 50, 175 (late, serving the
  // 100 ms point), 200, 250: the 150 ms point is skipped and the grid does not shift.
  std::atomic<bool> running{true};
  std::atomic<std::uint64_t> ticks{0};
  std::atomic<bool> stop_flag{false};
  RecordingCallback callback(running, 5, 1, 125ms);
  const auto before = TimerClock::now();  // the grid starts a little after this
  timer_thread_loop(50ms, kHighSpinWindow, running, ticks, stop_flag, callback);

  const auto starts = callback.starts();
  ASSERT_EQ(starts.size(), 5u);
  EXPECT_EQ(ticks.load(), 5u);
  const double expected[] = {0, 50, 175, 200, 250};
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const double at = ms_between(before, starts[i]);
    EXPECT_GE(at, expected[i]) << "call " << i;
    EXPECT_LT(at, expected[i] + 20) << "call " << i;  // generous: a loaded machine
  }
}

TEST(TimerThreadLoop, StopFlagBeforeTheFirstCallMeansNoCallAndClearsRunning) {
  std::atomic<bool> running{true};
  std::atomic<std::uint64_t> ticks{0};
  std::atomic<bool> stop_flag{true};
  RecordingCallback callback(running, kNever, kNever, 0ns);
  timer_thread_loop(1ms, kHighSpinWindow, running, ticks, stop_flag, callback);
  EXPECT_TRUE(callback.starts().empty());
  EXPECT_FALSE(running.load());
  EXPECT_EQ(ticks.load(), 0u);
}

TEST(TimerThreadLoop, ACallbackThatCanNoLongerRunEndsTheLoop) {
  std::atomic<bool> running{true};
  std::atomic<std::uint64_t> ticks{0};
  std::atomic<bool> stop_flag{false};
  RecordingCallback callback(running, kNever, kNever, 0ns);
  callback.keep_going_ = false;
  timer_thread_loop(1ms, kHighSpinWindow, running, ticks, stop_flag, callback);
  EXPECT_EQ(callback.starts().size(), 1u);
  EXPECT_FALSE(running.load());
  EXPECT_EQ(ticks.load(), 0u);
}

TEST(ThreadEngine, NamedThreadRunsTheGridUntilStoppedAndTheSlotHoldsIt) {
  std::atomic<bool> stop_flag{false};
  const TimerRunState run = TimerRunState::create();
  auto callback = std::make_shared<RecordingCallback>(*run.running, kNever, kNever, 0ns);
  ASSERT_TRUE(
      start_thread_engine(run, 12, TimerPrecision::Realtime, 2ms, callback, stop_flag).ok());
  {
    std::lock_guard lock(run.thread_slot->mutex);
    ASSERT_TRUE(run.thread_slot->thread.has_value());
  }
  while (run.tick_count->load() < 50) std::this_thread::sleep_for(5ms);
  run.running->store(false);
  {
    std::lock_guard lock(run.thread_slot->mutex);
    run.thread_slot->thread->join();
  }
  EXPECT_EQ(callback->thread_name(), "timer-12-Realti");  // the OS keeps 15 bytes
  const auto starts = callback->starts();
  EXPECT_EQ(starts.size(), run.tick_count->load());
  // Every call after the first is on or after its grid point (never early).
  for (std::size_t i = 1; i < starts.size(); ++i) {
    EXPECT_GE(ms_between(starts[0], starts[i]), 2.0 * static_cast<double>(i) - 0.1) << i;
  }
  EXPECT_TRUE(run.task_slot->mutex().try_lock().has_value());  // untouched in thread mode
}

TEST(ThreadEngine, StopFlagSetEndsTheThreadBeforeAnyCall) {
  std::atomic<bool> stop_flag{true};
  const TimerRunState run = TimerRunState::create();
  auto callback = std::make_shared<RecordingCallback>(*run.running, kNever, kNever, 0ns);
  ASSERT_TRUE(start_thread_engine(run, 3, TimerPrecision::High, 1ms, callback, stop_flag).ok());
  {
    std::lock_guard lock(run.thread_slot->mutex);
    run.thread_slot->thread->join();
  }
  EXPECT_FALSE(run.running->load());
  EXPECT_TRUE(callback->starts().empty());
  EXPECT_EQ(callback.use_count(), 1);  // the thread dropped its reference when it ended
}

// ---- the normal engine ----

TEST(TimerTaskLoop, OverrunBeyondFiveMsSkipsPassedGridPoints) {
  // Period 50 ms; the call at 50 ms takes 125 ms, so the 100 ms tick is taken 75 ms late:
  // calls at 0, 50, 175, 200, 250 (150 ms skipped, phase kept).
  std::atomic<bool> stop_flag{false};
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto ticks = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto callback = std::make_shared<RecordingCallback>(*running, 5, 1, 125ms);
  const auto before = TimerClock::now();  // the interval starts when the task first runs
  auto handle = rt::spawn(timer_task_loop(50ms, running, ticks, stop_flag, callback));
  rt::block_on(handle.join());

  const auto starts = callback->starts();
  ASSERT_EQ(starts.size(), 5u);
  EXPECT_EQ(ticks->load(), 5u);
  const double expected[] = {0, 50, 175, 200, 250};
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const double at = ms_between(before, starts[i]);
    EXPECT_GE(at, expected[i]) << "call " << i;
    EXPECT_LT(at, expected[i] + 25) << "call " << i;  // generous: a loaded machine
  }
}

TEST(TimerTaskLoop, CallsRunOnThePoolNeverOverlapAndStopFlagEndsTheLoop) {
  std::atomic<bool> stop_flag{false};
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto ticks = std::make_shared<std::atomic<std::uint64_t>>(0);
  struct Overlap final : TickCallback {
    std::atomic<int> inside{0}, max_inside{0}, calls{0};
    bool call() noexcept override {
      const int now = ++inside;
      if (now > max_inside) max_inside = now;
      std::this_thread::sleep_for(3ms);  // longer than the period
      --inside;
      ++calls;
      return true;
    }
  };
  auto callback = std::make_shared<Overlap>();
  auto handle = rt::spawn(timer_task_loop(1ms, running, ticks, stop_flag, callback));
  while (callback->calls.load() < 10) std::this_thread::sleep_for(2ms);
  stop_flag.store(true);
  rt::block_on(handle.join());
  EXPECT_FALSE(running->load());
  EXPECT_EQ(callback->max_inside.load(), 1);
  EXPECT_EQ(ticks->load(), static_cast<std::uint64_t>(callback->calls.load()));
}

TEST(TimerTaskLoop, ClearedRunningWhileWaitingAllowsAtMostOneMoreCall) {
  std::atomic<bool> stop_flag{false};
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto ticks = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto callback = std::make_shared<RecordingCallback>(*running, kNever, kNever, 0ns);
  auto handle = rt::spawn(timer_task_loop(40ms, running, ticks, stop_flag, callback));
  while (ticks->load() < 2) std::this_thread::sleep_for(1ms);
  const auto at_stop = ticks->load();
  running->store(false);
  rt::block_on(handle.join());
  EXPECT_LE(ticks->load(), at_stop + 1);
}

TEST(TaskEngine, StartsFromARuntimeWorkerWithoutBlockingAndStoresTheJoinHandle) {
  // Python code run by runtime tasks may start a timer: the slot must be filled without a
  // blocking lock there.
  std::atomic<bool> stop_flag{false};
  const TimerRunState run = TimerRunState::create();
  auto callback = std::make_shared<RecordingCallback>(*run.running, kNever, kNever, 0ns);
  auto starter = [](const TimerRunState& state, std::shared_ptr<TickCallback> cb,
                    const std::atomic<bool>& stop) -> rt::Task<bool> {
    co_return start_task_engine(state, 5ms, std::move(cb), stop).ok();
  };
  EXPECT_TRUE(rt::block_on(rt::spawn(starter(run, callback, stop_flag)).join()));
  while (run.tick_count->load() < 3) std::this_thread::sleep_for(1ms);
  run.running->store(false);
  std::optional<rt::JoinHandle<void>> loop;
  {
    auto guard = run.task_slot->mutex().try_lock();
    ASSERT_TRUE(guard.has_value());
    loop = run.task_slot->value_unsafe();
  }
  ASSERT_TRUE(loop.has_value());
  rt::block_on(loop->join());
  EXPECT_TRUE(loop->is_finished());
}

}  // namespace
}  // namespace varnex
