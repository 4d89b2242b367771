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

#include "runtime/completion.hpp"
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

double ms_between(rt::Instant from, rt::Instant to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Records when each call starts. One call (index `slow_index`) takes `slow_for`; after
// `calls_wanted` calls the callback stops the timer itself, so the loop ends there.
class RecordingCallback final : public TickCallback {
 public:
  RecordingCallback(RunState& run, std::size_t calls_wanted, std::size_t slow_index,
                    nanoseconds slow_for)
      : run_(run), wanted_(calls_wanted), slow_index_(slow_index), slow_for_(slow_for) {}

  bool call() noexcept override {
    std::lock_guard lock(mutex_);
    starts_.push_back(rt::Clock::now());
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    thread_name_ = name;
    if (starts_.size() - 1 == slow_index_) std::this_thread::sleep_for(slow_for_);
    if (starts_.size() >= wanted_) run_.request_stop();
    return keep_going_;
  }

  std::vector<rt::Instant> starts() {
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
  RunState& run_;
  std::size_t wanted_;
  std::size_t slow_index_;
  nanoseconds slow_for_;
  std::vector<rt::Instant> starts_;
  std::string thread_name_;
};

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

bool ends(const TimerRun& timer, std::chrono::seconds limit = 10s) {
  return timer.run.ended_event().wait_until(rt::Clock::now() + limit);
}

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
  const auto before = rt::Clock::now();
  EXPECT_FALSE(precision_sleep_until_sync(before - 1ms, kHighSpinWindow));
  EXPECT_FALSE(precision_sleep_until_sync(before, kHighSpinWindow));
  EXPECT_LT(rt::Clock::now() - before, 50ms);
}

TEST(PrecisionSleep, TargetInsideTheWindowOnlySpinsAndNeverReturnsEarly) {
  const auto target = rt::Clock::now() + 500us;
  EXPECT_FALSE(precision_sleep_until_sync(target, kHighSpinWindow));
  EXPECT_GE(rt::Clock::now(), target);
}

TEST(PrecisionSleep, FarTargetSleepsFirstAndNeverReturnsEarly) {
  for (int i = 0; i < 5; ++i) {
    const auto target = rt::Clock::now() + 5ms;
    EXPECT_TRUE(precision_sleep_until_sync(target, kHighSpinWindow));
    EXPECT_GE(rt::Clock::now(), target);
  }
}

// ---- the thread engine ----

TEST(TimerThreadLoop, OverrunSkipsPassedGridPointsAndKeepsThePhase) {
  // Period 50 ms; the call at 50 ms takes 125 ms. Calls start at 0, 50, 175 (late, serving the
  // 100 ms point), 200, 250: the 150 ms point is skipped and the grid does not shift.
  TimerRun timer;
  std::atomic<bool> stop_flag{false};
  RecordingCallback callback(timer.run, 5, 1, 125ms);
  const auto before = rt::Clock::now();  // the grid starts a little after this
  timer_thread_loop(50ms, kHighSpinWindow, timer, stop_flag, callback);

  const auto starts = callback.starts();
  ASSERT_EQ(starts.size(), 5u);
  EXPECT_EQ(timer.tick_count.load(), 5u);
  EXPECT_TRUE(timer.run.ended());
  const double expected[] = {0, 50, 175, 200, 250};
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const double at = ms_between(before, starts[i]);
    EXPECT_GE(at, expected[i]) << "call " << i;
    EXPECT_LT(at, expected[i] + 20) << "call " << i;  // generous: a loaded machine
  }
}

TEST(TimerThreadLoop, StopFlagBeforeTheFirstCallOrACallbackThatCanNoLongerRunEndsTheLoop) {
  for (bool stop_first : {true, false}) {
    TimerRun timer;
    std::atomic<bool> stop_flag{stop_first};
    RecordingCallback callback(timer.run, kNever, kNever, 0ns);
    callback.keep_going_ = false;
    timer_thread_loop(1ms, kHighSpinWindow, timer, stop_flag, callback);
    EXPECT_EQ(callback.starts().size(), stop_first ? 0u : 1u);
    EXPECT_TRUE(timer.run.stop_requested());
    EXPECT_TRUE(timer.run.ended());
    EXPECT_EQ(timer.tick_count.load(), 0u);
  }
}

TEST(ThreadEngine, NamedThreadRunsTheGridUntilStopped) {
  static std::atomic<bool> stop_flag{false};  // read by the detached loop after the test
  auto timer = std::make_shared<TimerRun>();
  auto callback = std::make_shared<RecordingCallback>(timer->run, kNever, kNever, 0ns);
  const auto before = rt::Clock::now();  // the grid starts on the thread, after this
  ASSERT_TRUE(
      start_thread_engine(timer, 12, TimerPrecision::Realtime, 2ms, callback, stop_flag).ok());
  while (timer->tick_count.load() < 50) std::this_thread::sleep_for(5ms);
  timer->run.request_stop();
  ASSERT_TRUE(ends(*timer));
  EXPECT_EQ(callback->thread_name(), "timer-12-Realti");  // the OS keeps 15 bytes
  const auto starts = callback->starts();
  EXPECT_EQ(starts.size(), timer->tick_count.load());
  // Every call is on or after its grid point (never early), however late the first one was.
  for (std::size_t i = 1; i < starts.size(); ++i) {
    EXPECT_GE(ms_between(before, starts[i]), 2.0 * static_cast<double>(i)) << i;
  }
}

TEST(ThreadEngine, StopFlagSetEndsTheThreadBeforeAnyCallAndDropsTheCallback) {
  static std::atomic<bool> stop_flag{true};  // read by the detached loop after the test
  auto timer = std::make_shared<TimerRun>();
  auto callback = std::make_shared<RecordingCallback>(timer->run, kNever, kNever, 0ns);
  ASSERT_TRUE(start_thread_engine(timer, 3, TimerPrecision::High, 1ms, callback, stop_flag).ok());
  ASSERT_TRUE(ends(*timer));
  EXPECT_TRUE(callback->starts().empty());
  // The thread drops its reference right after ending the run.
  const auto end = rt::Clock::now() + 10s;
  while (callback.use_count() != 1 && rt::Clock::now() < end) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(callback.use_count(), 1);
}

// ---- the normal engine ----

TEST(TimerTaskLoop, OverrunBeyondFiveMsSkipsPassedGridPoints) {
  // Period 50 ms; the call at 50 ms takes 125 ms, so the 100 ms tick is taken 75 ms late:
  // calls at 0, 50, 175, 200, 250 (150 ms skipped, phase kept).
  std::atomic<bool> stop_flag{false};
  auto timer = std::make_shared<TimerRun>();
  auto callback = std::make_shared<RecordingCallback>(timer->run, 5, 1, 125ms);
  const auto before = rt::Clock::now();  // the interval starts when the task first runs
  auto handle = rt::spawn(timer_task_loop(50ms, timer, stop_flag, callback));
  rt::block_on(handle.join());

  const auto starts = callback->starts();
  ASSERT_EQ(starts.size(), 5u);
  EXPECT_EQ(timer->tick_count.load(), 5u);
  const double expected[] = {0, 50, 175, 200, 250};
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const double at = ms_between(before, starts[i]);
    EXPECT_GE(at, expected[i]) << "call " << i;
    EXPECT_LT(at, expected[i] + 25) << "call " << i;  // generous: a loaded machine
  }
}

// A stop during a call ends the run only when the call returns; calls never overlap.
TEST(TimerTaskLoop, CallsRunOnThePoolNeverOverlapAndAStopEndsTheRunAfterTheCallInProgress) {
  std::atomic<bool> stop_flag{false};
  auto timer = std::make_shared<TimerRun>();
  struct Overlap final : TickCallback {
    std::atomic<int> inside{0}, max_inside{0}, calls{0};
    std::atomic<bool> ended_inside{false};
    rt::Completion tenth, release;
    std::shared_ptr<TimerRun> timer;
    bool call() noexcept override {
      const int now = ++inside;
      if (now > max_inside) max_inside = now;
      if (++calls == 10) {
        tenth.set();
        release.wait_until(std::nullopt);
        ended_inside = timer->run.ended();
      }
      --inside;
      return true;
    }
  };
  auto callback = std::make_shared<Overlap>();
  callback->timer = timer;
  auto handle = rt::spawn(timer_task_loop(1ms, timer, stop_flag, callback));
  ASSERT_TRUE(callback->tenth.wait_until(rt::Clock::now() + 10s));
  stop_flag.store(true);
  timer->run.request_stop();
  EXPECT_FALSE(timer->run.ended());
  callback->release.set();
  rt::block_on(handle.join());
  EXPECT_TRUE(timer->run.ended());
  EXPECT_FALSE(callback->ended_inside.load());
  EXPECT_EQ(callback->max_inside.load(), 1);
  EXPECT_EQ(timer->tick_count.load(), 10u);
}

TEST(TaskEngine, StartsFromARuntimeWorkerAndAStopWhileIdleEndsTheRunAtOnce) {
  // Python code run by runtime tasks may start a timer: starting must not block there.
  static std::atomic<bool> stop_flag{false};  // read by the detached loop after the test
  auto timer = std::make_shared<TimerRun>();
  auto callback = std::make_shared<RecordingCallback>(timer->run, kNever, kNever, 0ns);
  auto starter = [](std::shared_ptr<TimerRun> t, std::shared_ptr<TickCallback> cb,
                    const std::atomic<bool>& stop) -> rt::Task<bool> {
    co_return start_task_engine(t, 40ms, std::move(cb), stop).ok();
  };
  EXPECT_TRUE(rt::block_on(rt::spawn(starter(timer, callback, stop_flag)).join()));
  while (timer->tick_count.load() < 2) std::this_thread::sleep_for(1ms);
  const auto at_stop = timer->tick_count.load();
  timer->run.request_stop();
  ASSERT_TRUE(ends(*timer));
  EXPECT_LE(timer->tick_count.load(), at_stop + 1);  // at most the call in progress
}

TEST(StartTimer, RegistersTheTimerAndAStopAllEndsIt) {
  static TaskManager registry;  // its stop flag is read by the detached thread
  RunState never_stopped_by_the_callback(RunState::Kind::Timer);
  auto callback =
      std::make_shared<RecordingCallback>(never_stopped_by_the_callback, kNever, kNever, 0ns);
  Result<TimerHandle> timer =
      start_timer(TimerStart{41, 1000.0, TimerPrecision::High, 1ms, {}, {}}, callback, registry);
  ASSERT_TRUE(timer.ok());
  timer->adopt();
  EXPECT_EQ(registry.timer_count(), 1u);
  registry.stop_all();
  EXPECT_TRUE(registry.wait_all(10'000));
  EXPECT_TRUE(timer->run().run.ended());
  EXPECT_EQ(registry.status_summary(), (StatusSummary{0, 0, 1, 1}));
}

}  // namespace
}  // namespace varnex
