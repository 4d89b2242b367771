#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"
#include "tasks/shutdown.hpp"
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

TEST(ShutdownSignalOp, ReportsEachSignalByNameOnlyForDeliveriesWhileItExists) {
  CountingExecutor executor;
  auto op = ShutdownSignalOp::create();
  ASSERT_TRUE(op.ok());
  EXPECT_EQ(op->poll(manual_waker(executor)), std::nullopt);

  raise(SIGTERM);
  EXPECT_EQ(op->poll(manual_waker(executor)), "SIGTERM");
  raise(SIGINT);
  EXPECT_EQ(op->poll(manual_waker(executor)), "SIGINT");
  EXPECT_EQ(op->poll(manual_waker(executor)), std::nullopt);

  raise(SIGINT);  // before the next op exists: not seen by it
  auto later = ShutdownSignalOp::create();
  ASSERT_TRUE(later.ok());
  EXPECT_EQ(later->poll(manual_waker(executor)), std::nullopt);
}

TEST(ShutdownSignalOp, WhenBothArePendingEitherMayWin) {
  CountingExecutor executor;
  std::set<std::string> winners;
  for (int round = 0; round < 200 && winners.size() < 2; ++round) {
    auto op = ShutdownSignalOp::create();
    ASSERT_TRUE(op.ok());
    raise(SIGINT);
    raise(SIGTERM);
    auto first = op->poll(manual_waker(executor));
    ASSERT_TRUE(first.has_value());
    winners.insert(*first);
  }
  EXPECT_EQ(winners, (std::set<std::string>{"SIGINT", "SIGTERM"}));
}

TEST(Shutdown, ASignalEndsTheWaitThenEverythingIsStoppedWithTheExactLines) {
  ASSERT_TRUE(ShutdownSignalOp::create().ok());
  TaskManager registry;
  auto timer = idle_timer();
  registry.register_task(1, timer, TaskKind::Timer);

  varnex::rt::testing::capture_stderr();
  auto done = std::async(std::launch::async, [&] { return wait_for_signal_then_stop(registry); });
  Result<std::string> name = raise_until_ready(SIGTERM, done);
  const std::string err = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(name.ok());
  EXPECT_EQ(name.value(), "SIGTERM");
  EXPECT_EQ(err, "\n[varnex] Received SIGTERM, initiating graceful shutdown...\n");
  EXPECT_TRUE(timer->stop_requested());
  EXPECT_TRUE(registry.stop_requested());
}

// The call in progress at the stop is waited for: success only once it has ended.
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
  const auto start = std::chrono::steady_clock::now();
  Result<ShutdownReport> report = stop_on_signal_or_timeout(40, std::nullopt, registry);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::string err = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report->reason, "timeout");
  EXPECT_TRUE(report->success);
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
                         [&] { return stop_on_signal_or_timeout(60'000, 0, registry); });
  Result<ShutdownReport> report = raise_until_ready(SIGINT, done);
  const std::string err = varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report->reason, "signal:SIGINT");
  EXPECT_TRUE(report->success);
  EXPECT_TRUE(reason_is_signal(report->reason));
  EXPECT_EQ(err,
            "\n[varnex] Stopping (reason: signal:SIGINT), initiating graceful shutdown...\n"
            "[varnex] All tasks stopped successfully\n");
}

TEST(Shutdown, AWaitTooLongForTheClockWaitsForTheSignalOnly) {
  ASSERT_TRUE(ShutdownSignalOp::create().ok());
  TaskManager registry;
  varnex::rt::testing::capture_stderr();
  auto done = std::async(std::launch::async, [&] {
    return stop_on_signal_or_timeout(UINT64_MAX, UINT64_MAX, registry);
  });
  Result<ShutdownReport> report = raise_until_ready(SIGTERM, done);
  varnex::rt::testing::captured_stderr();
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report->reason, "signal:SIGTERM");
}

TEST(Shutdown, OnAThreadThatDrivesTasksItFailsBeforeStoppingAnything) {
  TaskManager registry;
  auto timer = idle_timer();
  registry.register_task(1, timer, TaskKind::Timer);
  auto inside_runtime = [&]() -> rt::Task<std::string> {
    try {
      (void)stop_on_signal_or_timeout(0, 0, registry);
    } catch (const rt::FatalError& e) {
      co_return e.what();
    }
    co_return "no error";
  };
  EXPECT_EQ(rt::block_on(inside_runtime()), rt::kBlockOnInRuntimeMessage);
  EXPECT_FALSE(timer->stop_requested());
  EXPECT_FALSE(registry.stop_requested());
}

TEST(Shutdown, ResultLinesAndSignalReasons) {
  varnex::rt::testing::capture_stderr();
  report_stop_result(true);
  report_stop_result(false);
  EXPECT_EQ(varnex::rt::testing::captured_stderr(),
            "[varnex] All tasks stopped successfully\n"
            "[varnex] Shutdown timed out, some tasks may still be running\n");
  EXPECT_TRUE(reason_is_signal("signal:SIGTERM"));
  EXPECT_TRUE(reason_is_signal("signal:"));
  EXPECT_FALSE(reason_is_signal("timeout"));
  EXPECT_FALSE(reason_is_signal("signal"));
}

}  // namespace
}  // namespace varnex
