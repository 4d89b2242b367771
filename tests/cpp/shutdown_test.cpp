#include "tasks/shutdown.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"
#include "tasks/shutdown_signal.hpp"

// These tests raise SIGINT and SIGTERM in the test process. That is safe only once the
// module's handlers are installed (they never pass a signal on to the default action), so each
// test creates a ShutdownSignalOp before its first raise.

namespace varnex {
namespace {

using namespace std::chrono_literals;
using rt::testing::CountingExecutor;
using rt::testing::manual_waker;

std::shared_ptr<RunState> idle_timer() { return std::make_shared<RunState>(RunState::Kind::Timer); }

// Raises `signo` every few milliseconds until `done` is ready: the wait under test creates its
// listeners on another thread, and only deliveries after that count.
template <class T>
T raise_until_ready(int signo, std::future<T>& done) {
  while (done.wait_for(5ms) != std::future_status::ready) raise(signo);
  return done.get();
}

TEST(ShutdownSignalOp, ReportsEachSignalOnlyForDeliveriesWhileItExists) {
  CountingExecutor executor;
  auto op = ShutdownSignalOp::create();
  ASSERT_TRUE(op.ok());
  EXPECT_EQ(op->poll(manual_waker(executor)), std::nullopt);

  raise(SIGTERM);
  EXPECT_EQ(op->poll(manual_waker(executor)), SIGTERM);
  raise(SIGINT);
  EXPECT_EQ(op->poll(manual_waker(executor)), SIGINT);
  EXPECT_EQ(op->poll(manual_waker(executor)), std::nullopt);

  raise(SIGINT);  // before the next op exists: not seen by it
  auto later = ShutdownSignalOp::create();
  ASSERT_TRUE(later.ok());
  EXPECT_EQ(later->poll(manual_waker(executor)), std::nullopt);
}

TEST(ShutdownSignalOp, WhenBothArePendingEitherMayWin) {
  CountingExecutor executor;
  std::set<int> winners;
  for (int round = 0; round < 200 && winners.size() < 2; ++round) {
    auto op = ShutdownSignalOp::create();
    ASSERT_TRUE(op.ok());
    raise(SIGINT);
    raise(SIGTERM);
    auto first = op->poll(manual_waker(executor));
    ASSERT_TRUE(first.has_value());
    winners.insert(*first);
  }
  EXPECT_EQ(winners, (std::set<int>{SIGINT, SIGTERM}));
}

// block_all's plan and block_until's, as the Python functions make them.
ShutdownPlan until_signal(std::optional<std::chrono::nanoseconds> stop_limit = std::nullopt) {
  return {std::nullopt, stop_limit, ShutdownPlan::Announce::Received};
}
ShutdownPlan until_signal_or(std::chrono::nanoseconds wait,
                             std::optional<std::chrono::nanoseconds> stop_limit = std::nullopt) {
  return {rt::deadline_after(wait), stop_limit, ShutdownPlan::Announce::Stopping};
}

// The signal's own hook runs after the signal and before its line; then everything is stopped.
TEST(Shutdown, ASignalEndsTheWaitThenEverythingIsStoppedWithTheExactLines) {
  ASSERT_TRUE(ShutdownSignalOp::create().ok());
  TaskManager registry;
  auto timer = idle_timer();
  registry.register_task(1, timer, TaskKind::Timer);

  varnex::rt::testing::capture_stderr();
  std::atomic<bool> stopped_at_hook{true};
  ShutdownHooks hooks{{}, [&] { stopped_at_hook = registry.stop_requested(); }};
  auto done =
      std::async(std::launch::async, [&] { return run_shutdown(until_signal(), hooks, registry); });
  Result<ShutdownOutcome> outcome = raise_until_ready(SIGTERM, done);
  const std::string err = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(outcome->reason, StopReason::by_signal(SIGTERM));
  EXPECT_TRUE(outcome->success());
  EXPECT_TRUE(outcome->consumes_pending_signal());
  EXPECT_FALSE(stopped_at_hook);
  EXPECT_EQ(err,
            "\n[varnex] Received SIGTERM, initiating graceful shutdown...\n"
            "[varnex] All tasks stopped successfully\n");
  EXPECT_TRUE(timer->stop_requested());
  EXPECT_TRUE(registry.stop_requested());
}

// The call in progress at the stop is waited for: success only once it has ended. A time-out
// never runs the signal hook, and leaves a pending signal to the interpreter.
TEST(Shutdown, BlockUntilStopsWhenTheWaitTimeHasPassedAndWaitsForTheCallInProgress) {
  TaskManager registry;
  auto call = std::make_shared<RunState>(RunState::Kind::Call);
  registry.register_task(1, call, TaskKind::AsyncTask);
  ASSERT_TRUE(call->begin_call());
  std::thread ender([&] {
    while (!registry.stop_requested()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    call->end_call();
    call->finish();
  });

  varnex::rt::testing::capture_stderr();
  bool hook_ran = false;
  const auto start = std::chrono::steady_clock::now();
  Result<ShutdownOutcome> outcome =
      run_shutdown(until_signal_or(40ms), {{}, [&] { hook_ran = true; }}, registry);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::string err = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(outcome->reason, StopReason::timeout());
  EXPECT_EQ(reason_text(outcome->reason), "timeout");
  EXPECT_TRUE(outcome->success());
  EXPECT_FALSE(outcome->consumes_pending_signal());
  EXPECT_FALSE(hook_ran);
  EXPECT_GE(elapsed, 40ms);
  EXPECT_EQ(err,
            "\n[varnex] Stopping (reason: timeout), initiating graceful shutdown...\n"
            "[varnex] All tasks stopped successfully\n");
  EXPECT_TRUE(call->ended());
  ender.join();
}

TEST(Shutdown, BlockUntilReportsASignalThatComesBeforeTheWaitTime) {
  ASSERT_TRUE(ShutdownSignalOp::create().ok());
  TaskManager registry;
  varnex::rt::testing::capture_stderr();
  auto done = std::async(std::launch::async,
                         [&] { return run_shutdown(until_signal_or(60s, 0ns), {}, registry); });
  Result<ShutdownOutcome> outcome = raise_until_ready(SIGINT, done);
  const std::string err = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(outcome->reason, StopReason::by_signal(SIGINT));
  EXPECT_EQ(reason_text(outcome->reason), "signal:SIGINT");
  EXPECT_TRUE(outcome->success());
  EXPECT_EQ(err,
            "\n[varnex] Stopping (reason: signal:SIGINT), initiating graceful shutdown...\n"
            "[varnex] All tasks stopped successfully\n");
}

// A stop phase that times out after a plain time-out: not a success, and the interpreter's
// pending signal is left alone; one cut short by a second signal consumes it.
TEST(Shutdown, TheOutcomeSaysWhetherThePendingSignalIsConsumed) {
  TaskManager registry;
  auto call = std::make_shared<RunState>(RunState::Kind::Call);
  registry.register_task(1, call, TaskKind::AsyncTask);
  ASSERT_TRUE(call->begin_call());  // never ends during the test
  varnex::rt::testing::capture_stderr();
  Result<ShutdownOutcome> timed_out = run_shutdown(until_signal_or(0ns, 0ns), {}, registry);
  varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(timed_out.ok());
  EXPECT_EQ(timed_out->stopped, ShutdownWait::Stopped::TimedOut);
  EXPECT_FALSE(timed_out->success());
  EXPECT_FALSE(timed_out->consumes_pending_signal());

  ShutdownOutcome cut_short{false, StopReason::timeout(), ShutdownWait::Stopped::CutShort};
  EXPECT_TRUE(cut_short.consumes_pending_signal());
  EXPECT_FALSE(cut_short.success());
  call->end_call();
  call->finish();
}

// A check that says stop ends the signal wait with nothing stopped and nothing written.
TEST(Shutdown, AnInterruptingCheckEndsTheWaitBeforeAnythingIsStopped) {
  TaskManager registry;
  varnex::rt::testing::capture_stderr();
  int checks = 0;
  ShutdownHooks hooks{[&](const ShutdownSignalOp&) { return ++checks == 2; }, {}};
  Result<ShutdownOutcome> outcome = run_shutdown(until_signal(), hooks, registry);
  EXPECT_EQ(varnex::rt::testing::captured_stderr(), "");
  ASSERT_TRUE(outcome.ok());
  EXPECT_TRUE(outcome->interrupted);
  EXPECT_EQ(checks, 2);
  EXPECT_FALSE(registry.stop_requested());
}

// A check that ends the stop phase has left a handler's exception to raise; a signal that comes
// right after it must not turn that into a cut short, whose caller raises nothing.
TEST(Shutdown, AStopEndedByTheCheckStaysInterruptedWhenASignalFollowsIt) {
  TaskManager registry;
  auto call = std::make_shared<RunState>(RunState::Kind::Call);
  registry.register_task(1, call, TaskKind::AsyncTask);
  ASSERT_TRUE(call->begin_call());  // in progress for the whole test
  Result<ShutdownWait> wait = ShutdownWait::create(registry);
  ASSERT_TRUE(wait.ok());
  varnex::rt::testing::capture_stderr();
  const ShutdownWait::Stopped stopped = wait->stop(std::nullopt, [](const ShutdownSignalOp&) {
    raise(SIGINT);  // delivered to the wait's own listener at once
    return true;
  });
  const std::string err = varnex::rt::testing::captured_stderr();
  EXPECT_EQ(stopped, ShutdownWait::Stopped::Interrupted);
  EXPECT_NE(err.find("cut short by a signal handler"), std::string::npos) << err;
  call->end_call();
  call->finish();
}

TEST(Shutdown, AWaitTooLongForTheClockWaitsForTheSignalOnly) {
  ASSERT_TRUE(ShutdownSignalOp::create().ok());
  TaskManager registry;
  varnex::rt::testing::capture_stderr();
  auto done = std::async(std::launch::async, [&] {
    return run_shutdown(until_signal_or(std::chrono::nanoseconds::max()), {}, registry);
  });
  Result<ShutdownOutcome> outcome = raise_until_ready(SIGTERM, done);
  varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(reason_text(outcome->reason), "signal:SIGTERM");
}

TEST(Shutdown, OnAThreadThatDrivesTasksItFailsBeforeStoppingAnything) {
  TaskManager registry;
  auto timer = idle_timer();
  registry.register_task(1, timer, TaskKind::Timer);
  auto inside_runtime = [&]() -> rt::Task<std::string> {
    try {
      (void)run_shutdown(until_signal_or(0ns, 0ns), {}, registry);
    } catch (const rt::FatalError& e) {
      co_return e.what();
    }
    co_return "no error";
  };
  EXPECT_EQ(rt::block_on(inside_runtime()), rt::kBlockOnInRuntimeMessage);
  EXPECT_FALSE(timer->stop_requested());
  EXPECT_FALSE(registry.stop_requested());
}

TEST(Shutdown, ResultLinesAndReasonTexts) {
  varnex::rt::testing::capture_stderr();
  report_stop_result(true);
  report_stop_result(false);
  EXPECT_EQ(varnex::rt::testing::captured_stderr(),
            "[varnex] All tasks stopped successfully\n"
            "[varnex] Shutdown timed out, some tasks may still be running\n");
  EXPECT_EQ(reason_text(StopReason::by_signal(SIGTERM)), "signal:SIGTERM");
  EXPECT_EQ(reason_text(StopReason::by_signal(SIGINT)), "signal:SIGINT");
  EXPECT_EQ(reason_text(StopReason::timeout()), "timeout");
}

}  // namespace
}  // namespace varnex
