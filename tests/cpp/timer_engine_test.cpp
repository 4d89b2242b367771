#include "tasks/timer_engine.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/completion.hpp"
#include "runtime/runtime.hpp"
#include "tasks/precision_sleep.hpp"
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

// ---- the adaptive spin ----

TEST(AdaptiveSpin, BucketEdgesTileTheLatenessAxis) {
  EXPECT_EQ(AdaptiveSpin::bucket_of(0ns), 0u);
  EXPECT_EQ(AdaptiveSpin::bucket_of(-5us), 0u);
  for (std::size_t b = 0; b + 1 < AdaptiveSpin::kBuckets; ++b) {
    const nanoseconds edge = AdaptiveSpin::upper_edge(b);
    EXPECT_EQ(AdaptiveSpin::bucket_of(edge - 1ns), b) << b;
    EXPECT_EQ(AdaptiveSpin::bucket_of(edge), b + 1) << b;
  }
  EXPECT_EQ(AdaptiveSpin::bucket_of(1h), AdaptiveSpin::kBuckets - 1);
}

TEST(AdaptiveSpin, WindowIsTheRecentP995OfTheSleepsLatenessWithinTheModesWindow) {
  AdaptiveSpin spin(kHighSpinWindow);
  EXPECT_EQ(spin.window(), kHighSpinWindow);  // until it has seen enough sleeps
  for (unsigned i = 0; i < AdaptiveSpin::kWarmup; ++i) spin.record(10us);
  auto covering = [](nanoseconds lateness) {
    return AdaptiveSpin::upper_edge(AdaptiveSpin::bucket_of(lateness)) + AdaptiveSpin::kMargin;
  };
  const nanoseconds quiet = covering(10us);
  EXPECT_EQ(spin.window(), quiet);
  // One sleep in 1000 wakes 60 us late: left out. One in 100: covered.
  for (int i = 1; i <= 3000; ++i) spin.record(i % 1000 == 0 ? 60us : 10us);
  EXPECT_EQ(spin.window(), quiet);
  for (int i = 1; i <= 3000; ++i) spin.record(i % 100 == 0 ? 60us : 10us);
  EXPECT_GE(spin.window(), 60us + AdaptiveSpin::kMargin);
  EXPECT_LE(spin.window(), covering(60us));
  // Quiet again: the late ones are forgotten within a few thousand sleeps; a lone spike is ignored.
  for (int i = 0; i < 5000; ++i) spin.record(i == 2500 ? 20ms : 10us);
  EXPECT_EQ(spin.window(), quiet);
  // Sleeps later than the mode's window cannot be helped by spinning: they do not widen it...
  for (int i = 0; i < 100; ++i) spin.record(20ms);
  EXPECT_EQ(spin.window(), quiet);
  // ...while often-late ones within it widen it up to that window at most.
  for (int i = 0; i < 100; ++i) spin.record(790us);
  EXPECT_EQ(spin.window(), kHighSpinWindow);
}

TEST(AdaptiveSpin, ATimerFasterThanTheWindowHalvesItsStartingWindowUntilItCanSleepAndLearn) {
  AdaptiveSpin spin(kHighSpinWindow);
  for (unsigned i = 0; i < AdaptiveSpin::kProbeAfter; ++i) spin.record_no_sleep();
  EXPECT_EQ(spin.window(), kHighSpinWindow / 2);
  for (unsigned i = 0; i < 3 * AdaptiveSpin::kProbeAfter; ++i) spin.record_no_sleep();
  EXPECT_EQ(spin.window(), kHighSpinWindow / 16);
  spin.record(70us);  // a sleep that woke late: the starting window covers it at once
  EXPECT_EQ(spin.window(), 70us + AdaptiveSpin::kMargin);
}

// A timer thread's clock in made-up time: a sleep returns `lateness(i)` after the asked time,
// a spin ends exactly at its target and is added up.
class FakeThreadClock final : public ThreadClock {
 public:
  rt::Instant now() override { return now_; }
  void sleep_until(rt::Instant wake) override { now_ = std::max(now_, wake) + lateness(sleeps++); }
  void spin_until(rt::Instant target) override {
    if (target > now_) {
      spun += target - now_;
      now_ = target;
    }
  }
  void advance(nanoseconds by) { now_ += by; }

  std::function<nanoseconds(int)> lateness;
  nanoseconds spun{0};
  int sleeps = 0;

 private:
  rt::Instant now_ = rt::Instant(1000s);
};

TEST(AdaptiveSpinWait, KeepsTheThreadEnginesGridAndSpinsOnlyForTheLatenessItHasSeen) {
  // 1 kHz; sleeps wake 12 us late, one in a hundred 40 us; call 500 takes 2.5 ms.
  FakeThreadClock clock;
  clock.lateness = [](int i) { return i % 100 == 99 ? 40us : 12us; };
  TimerRun timer;
  std::atomic<bool> stop_flag{false};
  struct Calls final : TickCallback {
    FakeThreadClock* clock;
    TimerRun* timer;
    std::vector<rt::Instant> at;
    nanoseconds spun_at_warmup{0};
    bool call() noexcept override {
      at.push_back(clock->now());
      if (at.size() == AdaptiveSpin::kWarmup * 2) spun_at_warmup = clock->spun;
      if (at.size() == 501) clock->advance(2500us);
      if (at.size() == 1000) timer->run.request_stop();
      return true;
    }
  } calls;
  calls.clock = &clock;
  calls.timer = &timer;
  const rt::Instant start = clock.now();
  {
    AdaptiveSpinWait wait(kHighSpinWindow, clock);
    timer_thread_loop(1ms, wait, timer, stop_flag, calls);
  }
  ASSERT_EQ(calls.at.size(), 1000u);
  std::vector<std::int64_t> late_us;
  std::vector<std::size_t> point;  // the grid point each call was for
  for (rt::Instant t : calls.at) {
    const auto since = (t - start).count();
    point.push_back(static_cast<std::size_t>(since / 1'000'000));
    late_us.push_back(since % 1'000'000 / 1000);
  }
  for (std::size_t i = 0; i < calls.at.size(); ++i) {
    if (i == 501) {
      // Served at once when call 500 ends at 502.5 ms (for point 501); 502 is skipped.
      EXPECT_EQ(point[i], 502u);
      EXPECT_EQ(late_us[i], 500);
    } else if (i == 100 || i == 200 || i == 300) {
      // The first 40 us wakes after the warm-up are too few to pass for more than one in two
      // hundred: each 22 us late. From the fourth on they are covered.
      EXPECT_EQ(late_us[i], 40 - 18);
    } else {
      EXPECT_EQ(late_us[i], 0) << "call " << i;  // on its grid point, the phase kept
      EXPECT_EQ(point[i], i < 501 ? i : i + 1) << "call " << i;
    }
  }
  // Past the warm-up each tick spins about the learned p99.5 minus the usual lateness (40 + 4
  // + 5 - 12 us), not the fixed 0.8 ms.
  const double spin_per_tick_us =
      std::chrono::duration<double, std::micro>(clock.spun - calls.spun_at_warmup).count() /
      (1000 - 2 * AdaptiveSpin::kWarmup);
  EXPECT_LT(spin_per_tick_us, 50.0);
  EXPECT_GT(spin_per_tick_us, 20.0);
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

TEST(TaskEngine, OverrunBeyondFiveMsSkipsPassedGridPoints) {
  // Period 50 ms; the call at 50 ms takes 125 ms, so the 100 ms tick is taken 75 ms late:
  // calls at 0, 50, 175, 200, 250 (150 ms skipped, phase kept).
  static std::atomic<bool> stop_flag{false};  // read by the scheduler's threads
  auto timer = std::make_shared<TimerRun>();
  auto callback = std::make_shared<RecordingCallback>(timer->run, 5, 1, 125ms);
  const auto before = rt::Clock::now();  // the first tick is due when the timer is added
  ASSERT_TRUE(start_task_engine(timer, 50ms, callback, stop_flag).ok());
  ASSERT_TRUE(ends(*timer));

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
TEST(TaskEngine, CallsRunOnThePoolNeverOverlapAndAStopEndsTheRunAfterTheCallInProgress) {
  static std::atomic<bool> stop_flag;  // read by the scheduler's threads
  stop_flag.store(false);              // (set at the end of the last run when the test is repeated)
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
  ASSERT_TRUE(start_task_engine(timer, 1ms, callback, stop_flag).ok());
  ASSERT_TRUE(callback->tenth.wait_until(rt::Clock::now() + 10s));
  stop_flag.store(true);
  timer->run.request_stop();
  EXPECT_FALSE(timer->run.ended());
  callback->release.set();
  ASSERT_TRUE(ends(*timer));
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
  EXPECT_TRUE(registry.wait_all(10'000ms));
  EXPECT_TRUE(timer->run().run.ended());
  EXPECT_EQ(registry.status_summary(), (StatusSummary{0, 0, 1, 1}));
}

}  // namespace
}  // namespace varnex
