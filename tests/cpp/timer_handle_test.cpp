// The handles' lifecycle as their users hold them: what dropping a timer's or a background call's
// handle does to its run and its registry entry, the rollback of a start whose handle never
// reached the user, the statistics, and the frequency rules every timer start obeys.
#include "tasks/timer_handle.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/diagnostic_queue.hpp"
#include "runtime/diagnostics.hpp"
#include "tasks/call_handle.hpp"
#include "tasks/timer_period.hpp"

namespace varnex {
namespace {

using namespace std::chrono_literals;

struct Registered {
  TaskManager registry;
  std::shared_ptr<TimerRun> timer = std::make_shared<TimerRun>(RunState::Kind::Loop);

  explicit Registered(std::uint64_t id) {
    registry.register_task(id, std::shared_ptr<RunState>(timer, &timer->run), TaskKind::Timer);
  }
  TimerHandle handle(std::uint64_t id, const char* origin = TimerHandle::kTimerOrigin) {
    return TimerHandle(timer, id, 100.0, TimerPrecision::High, registry, {}, origin);
  }
};

TEST(TimerHandleLifecycle, DroppedWhileRunningItWarnsStopsTheRunAndItsEntryLeavesOnceTheRunEnds) {
  Registered r(7);
  {
    TimerHandle handle = r.handle(7, "Motor.start_broadcast()");
    handle.adopt();
    testing::internal::CaptureStderr();
  }
  varnex::flush_stderr();  // lines reach fd 2 through the diagnostic writer thread
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: TimerHandle(id=7) dropped while still running. Make sure to save the handle "
            "returned by Motor.start_broadcast().\n");
  EXPECT_TRUE(r.timer->run.stop_requested());
  // Still running its last action: wait_all must still see it.
  EXPECT_EQ(r.registry.running_count(), 1u);
  r.timer->run.finish();
  EXPECT_EQ(r.registry.total_count(), 0u);
}

TEST(TimerHandleLifecycle, AStoppedHandleDropsSilentlyAndAMovedFromOneDoesNothing) {
  Registered r(8);
  TimerHandle handle = r.handle(8);
  handle.adopt();
  handle.stop();
  EXPECT_FALSE(handle.is_running());
  r.timer->run.finish();
  testing::internal::CaptureStderr();
  { TimerHandle moved(std::move(handle)); }
  EXPECT_EQ(r.registry.total_count(), 0u);
  r.registry.register_task(8, std::shared_ptr<RunState>(r.timer, &r.timer->run), TaskKind::Timer);
  {
    TimerHandle gone = std::move(handle);  // the moved-from one holds nothing
  }
  varnex::flush_stderr();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(r.registry.total_count(), 1u);
}

TEST(TimerHandleLifecycle, AHandleNeverAdoptedRollsTheStartBackSilently) {
  Registered r(9);
  testing::internal::CaptureStderr();
  { TimerHandle handle = r.handle(9); }
  varnex::flush_stderr();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(r.timer->run.stop_requested());
  // Removed at once, not left to the end of the run: the user never had it.
  EXPECT_EQ(r.registry.total_count(), 0u);
}

TEST(TimerHandleStatistics, ElapsedGrowsActualFrequencyIsTicksPerSecondAndTheReprShowsBoth) {
  Registered r(3);
  TimerHandle handle = r.handle(3);
  handle.adopt();
  EXPECT_EQ(handle.actual_frequency(), 0.0);  // no tick yet
  std::this_thread::sleep_for(20ms);
  r.timer->tick_count = 2;
  const double elapsed = handle.elapsed_secs();
  EXPECT_GE(elapsed, 0.02);
  EXPECT_LE(handle.actual_frequency(), 2.0 / elapsed);
  EXPECT_GT(handle.actual_frequency(), 0.0);
  const std::string text = handle.repr();
  EXPECT_EQ(text.rfind("TimerHandle(id=3, freq=100.0Hz, actual=", 0), 0u) << text;
  EXPECT_NE(text.find("Hz, mode=high, ticks=2, running=true)"), std::string::npos) << text;
  handle.stop();
  EXPECT_NE(handle.repr().find("running=false)"), std::string::npos);
  r.timer->run.finish();
}

TEST(CallHandleLifecycle, DroppedBeforeTheCallEndedItWarnsAndTheEntryWaitsForTheEnd) {
  TaskManager registry;
  auto call = std::make_shared<BackgroundCall>(21);
  registry.register_task(21, call->run(), TaskKind::AsyncTask);
  testing::internal::CaptureStderr();
  {
    CallHandle handle(call, registry);
    handle.adopt();
  }
  varnex::flush_stderr();  // lines reach fd 2 through the diagnostic writer thread
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: AsyncHandle(id=21) dropped while task still running. Consider calling "
            "handle.cancel() or handle.wait() before dropping.\n");
  EXPECT_FALSE(call->is_cancelled());  // a handle never stops its call
  EXPECT_EQ(registry.total_count(), 1u);
  call->fail("ended");
  EXPECT_EQ(registry.total_count(), 0u);
}

TEST(CallHandleLifecycle, CancelledOrNeverAdoptedHandlesDropSilently) {
  TaskManager registry;
  auto cancelled = std::make_shared<BackgroundCall>(22);
  auto orphan = std::make_shared<BackgroundCall>(23);
  registry.register_task(22, cancelled->run(), TaskKind::AsyncTask);
  registry.register_task(23, orphan->run(), TaskKind::AsyncTask);
  cancelled->cancel();
  testing::internal::CaptureStderr();
  {
    CallHandle handle(cancelled, registry);
    handle.adopt();
  }
  { CallHandle rollback(orphan, registry); }
  varnex::flush_stderr();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(registry.total_count(), 1u);  // the cancelled call has not ended; the orphan left
  cancelled->fail("skipped");
  EXPECT_EQ(registry.total_count(), 0u);
}

TEST(TimerFrequencyRules, PositiveAndAtMostTenKilohertzWithoutRealtime) {
  const Error positive = Error::value("frequency_hz must be positive");
  const Error too_high = Error::value("frequency > 10kHz requires realtime=True");
  EXPECT_EQ(check_timer_frequency(0.0, TimerPrecision::Normal).error(), positive);
  EXPECT_EQ(check_timer_frequency(-1.0, TimerPrecision::Realtime).error(), positive);
  EXPECT_TRUE(check_timer_frequency(10000.0, TimerPrecision::High));
  EXPECT_EQ(check_timer_frequency(10000.001, TimerPrecision::High).error(), too_high);
  EXPECT_TRUE(check_timer_frequency(20000.0, TimerPrecision::Realtime));
  EXPECT_TRUE(check_timer_frequency(1e6, TimerPrecision::Normal));
  // Ordered comparisons: NaN passes here and fails when the timer starts.
  EXPECT_TRUE(check_timer_frequency(std::nan(""), TimerPrecision::High));
  EXPECT_FALSE(period_from_frequency(std::nan("")));
}

}  // namespace
}  // namespace varnex

namespace varnex {
namespace {

// What a TimerErrors reports, caught through a consumer of the process's diagnostic queue.
class CaughtLines {
 public:
  CaughtLines() {
    rt::diagnostic_queue().set_consumer([this](const std::vector<DiagnosticLine>& lines) {
      std::lock_guard lock(mutex_);
      lines_.insert(lines_.end(), lines.begin(), lines.end());
      changed_.notify_all();
      return true;
    });
  }
  ~CaughtLines() { rt::diagnostic_queue().set_consumer({}); }
  std::vector<DiagnosticLine> wait_for(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 30s, [&] { return lines_.size() >= n; });
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DiagnosticLine> lines_;
};

TEST(TimerErrors, FirstOfEachTextHasItsTracebackRepeatsAreSummarisedAtTheEnd) {
  CaughtLines caught;
  const DiagnosticFields fields{{"task_id", std::uint64_t{7}}, {"timer", std::string("update")}};
  const std::string line = "Timer function error: RuntimeError: oops";
  {
    TimerErrors errors(7, "update");
    EXPECT_TRUE(errors.wants_traceback("RuntimeError: oops"));
    errors.report("RuntimeError: oops", "Traceback ...");
    EXPECT_FALSE(errors.wants_traceback("RuntimeError: oops"));
    errors.report("RuntimeError: oops", "Traceback ...");  // repeats within the second: counted
    errors.report("RuntimeError: oops", "Traceback ...");
    // Distinct texts are traced up to the limit, and printed either way.
    for (std::size_t i = 1; i <= TimerErrors::kTracedTexts; ++i) {
      errors.report("KeyError: " + std::to_string(i), "tb " + std::to_string(i));
    }
    EXPECT_EQ(errors.count(), 3 + TimerErrors::kTracedTexts);
    EXPECT_EQ(errors.last(), "KeyError: " + std::to_string(TimerErrors::kTracedTexts));
    errors.finish();
  }
  const std::vector<DiagnosticLine> lines = caught.wait_for(TimerErrors::kTracedTexts + 2);
  ASSERT_EQ(lines.size(), TimerErrors::kTracedTexts + 2);
  EXPECT_EQ(lines[0], (DiagnosticLine{line, DiagnosticLevel::Error, fields, "Traceback ..."}));
  for (std::size_t i = 1; i < TimerErrors::kTracedTexts; ++i) {
    EXPECT_EQ(lines[i].detail, "tb " + std::to_string(i));
  }
  EXPECT_EQ(lines[TimerErrors::kTracedTexts].detail, "");  // past the limit: no traceback
  // The summary stands for the last repeat and counts the one before it.
  EXPECT_EQ(lines.back(), (DiagnosticLine{line + " (1 similar messages suppressed)",
                                          DiagnosticLevel::Error, fields, ""}));
}

}  // namespace
}  // namespace varnex
