// The normal timers' scheduler: its bookkeeping with made-up times, and the engine on a fake
// platform whose clock jumps to each deadline, so that the tick rules are checked exactly.
#include "tasks/timer_scheduler.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/completion.hpp"
#include "tasks/timer_schedule.hpp"

namespace varnex {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

const rt::Instant t0 = rt::Instant(1000s);

// ---- the schedule ----

struct NoGate final : CallGate {
  bool enter() noexcept override { return true; }
  void leave() noexcept override {}
};

TimerSlot slot(CallGate* gate, rt::Instant due) {
  return std::make_unique<ScheduledTimer>(
      ScheduledTimer{nullptr, nullptr, nullptr, 10ms, gate, due});
}

TEST(TimerSchedule, TicksDueTogetherShareABatchOfTheirGateWhichTakesLaterOnesUntilItBegins) {
  NoGate g1, g2;
  TimerSchedule s;
  s.add(slot(&g1, t0));
  s.add(slot(&g1, t0));
  s.add(slot(&g2, t0));
  s.add(slot(&g1, t0 + 1ms));
  std::vector<BatchRef> started = s.take_due(t0);
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0]->gate, &g1);
  EXPECT_EQ(started[0]->queue.size(), 2u);
  EXPECT_EQ(started[1]->queue.size(), 1u);
  EXPECT_EQ(s.waiting(), 1u);
  EXPECT_EQ(s.wake_at(t0), t0 + 1ms);  // the next deadline, before any batch could be stuck
  // Not yet in its gate: the batch takes the tick due later instead of a second thread.
  EXPECT_TRUE(s.take_due(t0 + 1ms).empty());
  EXPECT_EQ(started[0]->queue.size(), 3u);
  EXPECT_EQ(s.waiting(), 0u);
}

TEST(TimerSchedule, ABatchStuckInACallHandsWhatItHasNotBegunToANewBatch) {
  NoGate g;
  TimerSchedule s;
  s.add(slot(&g, t0));
  s.add(slot(&g, t0));
  BatchRef stuck = s.take_due(t0).front();
  EXPECT_TRUE(s.begin(*stuck, t0));
  TimerSlot in_hand = s.next(*stuck, t0);  // its call begins at t0 and does not return
  ASSERT_TRUE(in_hand);
  EXPECT_EQ(s.wake_at(t0), t0 + TimerSchedule::kHandOverAfter);

  s.add(slot(&g, t0 + 4ms));
  EXPECT_TRUE(s.take_due(t0 + 4ms).empty());  // still brisk: joins it
  EXPECT_EQ(stuck->queue.size(), 2u);

  std::vector<BatchRef> fresh = s.take_due(t0 + 5ms);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0]->queue.size(), 2u);
  EXPECT_TRUE(stuck->queue.empty());
  s.add(slot(&g, t0 + 6ms));
  EXPECT_TRUE(s.take_due(t0 + 6ms).empty());  // the stuck batch takes no more
  EXPECT_EQ(fresh[0]->queue.size(), 3u);
  // The timer in hand is nowhere in the schedule: it cannot be taken again while it is called.
  EXPECT_EQ(s.waiting(), 0u);
  EXPECT_FALSE(s.next(*stuck, t0 + 7ms));  // done: it leaves the schedule
  EXPECT_TRUE(s.has_batches());            // the new one is still to run
}

// ---- the engine on a fake platform ----

// Time stands still while threads work and jumps to the deadline a waiting leader asks for.
// Thread requests are queued until run_queued(), or started at once after threads_on().
class FakePlatform final : public TimerScheduler::Platform {
 public:
  ~FakePlatform() override { join_threads(); }
  // Every driver leaves once the schedule is empty; call it before the scheduler goes.
  void join_threads() {
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  rt::Instant now() override { return rt::Instant(nanoseconds(now_ns_.load())); }
  void advance(nanoseconds by) { now_ns_ += by.count(); }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
            std::optional<rt::Instant> deadline) override {
    if (!deadline) {
      cv.wait(lock);
      return;
    }
    std::int64_t now = now_ns_.load();
    const std::int64_t to = deadline->time_since_epoch().count();
    while (now < to && !now_ns_.compare_exchange_weak(now, to)) {
    }
  }
  void start_thread(std::function<void()> job) override {
    std::lock_guard lock(mutex_);
    if (threads_on_) {
      threads_.emplace_back(std::move(job));
    } else {
      queued_.push_back(std::move(job));
    }
  }
  std::size_t queued() {
    std::lock_guard lock(mutex_);
    return queued_.size();
  }
  // Runs the first queued request on the calling thread.
  void run_one_here() {
    std::function<void()> job;
    {
      std::lock_guard lock(mutex_);
      ASSERT_FALSE(queued_.empty());
      job = std::move(queued_.front());
      queued_.pop_front();
    }
    job();
  }
  void threads_on() {
    std::lock_guard lock(mutex_);
    threads_on_ = true;
    for (auto& job : queued_) threads_.emplace_back(std::move(job));
    queued_.clear();
  }

 private:
  std::atomic<std::int64_t> now_ns_{t0.time_since_epoch().count()};
  std::mutex mutex_;
  bool threads_on_ = false;
  std::deque<std::function<void()>> queued_;
  std::vector<std::thread> threads_;
};

// Counts its entries and checks that calls happen inside it and reports outside.
struct CountingGate final : CallGate {
  bool enter() noexcept override {
    ++entries;
    held = true;
    return true;
  }
  void leave() noexcept override { held = false; }
  int entries = 0;
  bool held = false;
};

// Records each call's (fake) start; stops its timer after `calls_wanted` calls. With a gate, it
// is called through call_entered() and returns `error` as its report.
class Recorder final : public TickCallback {
 public:
  Recorder(FakePlatform& clock, TimerRun& timer, int calls_wanted, CountingGate* gate = nullptr,
           std::string error = {})
      : clock_(clock),
        timer_(timer),
        wanted_(calls_wanted),
        gate_(gate),
        error_(std::move(error)) {}

  bool call() noexcept override {
    on_call();
    return true;
  }
  CallGate* gate() noexcept override { return gate_; }
  std::string call_entered() noexcept override {
    if (!gate_->held) outside_gate = true;
    on_call();
    return error_;
  }
  void report(std::string text) noexcept override {
    if (gate_->held) reported_inside = true;
    reports.push_back(std::move(text));
  }

  std::function<void(int call)> during;  // runs inside call `call` (0-based)
  std::vector<rt::Instant> starts;
  std::vector<std::string> reports;
  bool outside_gate = false, reported_inside = false;

 private:
  void on_call() {
    starts.push_back(clock_.now());
    if (during) during(static_cast<int>(starts.size()) - 1);
    if (static_cast<int>(starts.size()) >= wanted_) timer_.run.request_stop();
  }
  FakePlatform& clock_;
  TimerRun& timer_;
  int wanted_;
  CountingGate* gate_;
  std::string error_;
};

struct FakeTimer {
  std::shared_ptr<TimerRun> run = std::make_shared<TimerRun>();
  std::shared_ptr<Recorder> callback;
};

double ms_after_t0(rt::Instant t) {
  return std::chrono::duration<double, std::milli>(t - t0).count();
}

std::atomic<bool> no_stop{false};

TEST(TimerScheduler, TicksDueTogetherAreCalledUnderOneEntryOfTheGateEachWithItsOwnReport) {
  FakePlatform platform;
  TimerScheduler scheduler(platform);
  CountingGate gil;
  std::vector<FakeTimer> timers(3);
  const char* errors[] = {"", "ValueError: first", "KeyError: 'second'"};
  for (int i = 0; i < 3; ++i) {
    timers[i].callback = std::make_shared<Recorder>(platform, *timers[i].run, 3, &gil, errors[i]);
    ASSERT_TRUE(scheduler.add(timers[i].run, 10ms, timers[i].callback, no_stop).ok());
  }
  platform.run_one_here();  // one driver: leads, runs each batch, leads again, ends when all did

  for (int i = 0; i < 3; ++i) {
    const Recorder& r = *timers[i].callback;
    ASSERT_EQ(r.starts.size(), 3u) << i;  // a raising neighbour in the batch stops nobody
    for (int k = 0; k < 3; ++k) EXPECT_EQ(ms_after_t0(r.starts[k]), 10.0 * k) << i;
    EXPECT_EQ(timers[i].run->tick_count.load(), 3u);
    EXPECT_TRUE(timers[i].run->run.ended());
    EXPECT_FALSE(r.outside_gate);
    EXPECT_FALSE(r.reported_inside);  // an error line is written with the GIL released
  }
  EXPECT_TRUE(timers[0].callback->reports.empty());
  EXPECT_EQ(timers[1].callback->reports, std::vector<std::string>(3, "ValueError: first"));
  EXPECT_EQ(timers[2].callback->reports, std::vector<std::string>(3, "KeyError: 'second'"));
  // Per tick: one entry for the batch and one more after each of the two reports.
  EXPECT_EQ(gil.entries, 3 * (1 + 2));
  EXPECT_FALSE(gil.held);
}

TEST(TimerScheduler, OneTimerIsServedByOneThreadAndKeepsTheNormalTickRule) {
  // Period 10 ms. The call at 10 ms takes 13 ms: 3 ms late keeps the grid (0, 10, 23, 30, 40).
  // It takes 25 ms: the 20 ms tick is served late, the 30 ms point skipped (0, 10, 35, 40, 50).
  for (auto [overrun, expected] : {std::pair{13ms, std::vector<double>{0, 10, 23, 30, 40}},
                                   std::pair{25ms, std::vector<double>{0, 10, 35, 40, 50}}}) {
    FakePlatform platform;
    TimerScheduler scheduler(platform);
    FakeTimer timer;
    timer.callback = std::make_shared<Recorder>(platform, *timer.run, 5);
    timer.callback->during = [&platform, overrun](int call) {
      if (call == 1) platform.advance(overrun);
    };
    ASSERT_TRUE(scheduler.add(timer.run, 10ms, timer.callback, no_stop).ok());
    platform.run_one_here();
    std::vector<double> at;
    for (rt::Instant t : timer.callback->starts) at.push_back(ms_after_t0(t));
    EXPECT_EQ(at, expected);
    EXPECT_EQ(platform.queued(), 0u);  // nothing else waits: no second thread was asked for
  }
}

TEST(TimerScheduler, ACallThatDoesNotReturnDelaysTheOthersInItsBatchOnlyUntilTheyAreHandedOver) {
  FakePlatform platform;
  TimerScheduler scheduler(platform);
  std::vector<FakeTimer> timers(3);
  rt::Completion inside, release;
  timers[0].callback = std::make_shared<Recorder>(platform, *timers[0].run, 1);
  timers[0].callback->during = [&](int) {
    inside.set();
    release.wait_until(rt::Clock::now() + 30s);
  };
  for (int i = 1; i < 3; ++i) {
    timers[i].callback = std::make_shared<Recorder>(platform, *timers[i].run, 4);
  }
  for (FakeTimer& t : timers) {
    ASSERT_TRUE(scheduler.add(t.run, 10ms, t.callback, no_stop).ok());
    platform.advance(1ns);  // due in this order: the blocking one is called first
  }
  platform.threads_on();
  // The two behind it are handed to another thread and keep ticking while it blocks, and the
  // blocked timer is not called again meanwhile.
  for (int i = 1; i < 3; ++i) {
    ASSERT_TRUE(timers[i].run->run.ended_event().wait_until(rt::Clock::now() + 30s));
  }
  EXPECT_TRUE(inside.is_set());
  EXPECT_FALSE(timers[0].run->run.ended());
  EXPECT_EQ(timers[0].callback->starts.size(), 1u);
  for (int i = 1; i < 3; ++i) {
    const auto& starts = timers[i].callback->starts;
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_GE(starts[0] - t0, TimerSchedule::kHandOverAfter);  // served once handed over
    // (Time here jumps whenever a leader waits, even while another thread calls, so only the
    // order is exact; the single-threaded test above checks the grid.)
    for (std::size_t k = 1; k < starts.size(); ++k) EXPECT_GT(starts[k], starts[k - 1]) << i;
  }
  release.set();
  ASSERT_TRUE(timers[0].run->run.ended_event().wait_until(rt::Clock::now() + 30s));
  platform.join_threads();  // no thread is left waiting for nothing
}

}  // namespace
}  // namespace varnex
