#include "tasks/task_manager.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/completion.hpp"
#include "tasks/task_id.hpp"
#include "tasks/timer_loops.hpp"

namespace varnex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A registered item in a given state: a timer or a call, stopped or ended as asked.
std::shared_ptr<RunState> item(TaskKind kind, bool ended = false) {
  auto run = std::make_shared<RunState>(kind == TaskKind::Timer ? RunState::Kind::Timer
                                                                : RunState::Kind::Call);
  if (ended) run->finish();
  return run;
}

TEST(TaskIds, FirstIdOfAProcessIsOneThenTwo) {
  // Other tests of this binary take ids too, so look at a fresh process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const auto first = next_task_id();
        const auto second = next_task_id();
        std::exit(first == 1 && second == 2 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(TaskIds, UniqueAndIncreasingAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20000;
  std::vector<std::vector<std::uint64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) seen[t].push_back(next_task_id());
    });
  }
  for (auto& th : threads) th.join();
  std::vector<std::uint64_t> all;
  for (const auto& ids : seen) {
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    all.insert(all.end(), ids.begin(), ids.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_GE(all.front(), 1u);
}

TEST(TaskRegistry, GlobalRegistryIsOneObject) { EXPECT_EQ(&task_manager(), &task_manager()); }

TEST(TaskRegistry, StatusCountsEachKindAndEndedEntries) {
  TaskManager m;
  EXPECT_EQ(m.status_summary(), StatusSummary{});
  m.register_task(1, item(TaskKind::Timer), TaskKind::Timer);
  m.register_task(2, item(TaskKind::Timer), TaskKind::Timer);
  m.register_task(3, item(TaskKind::AsyncTask), TaskKind::AsyncTask);
  m.register_task(4, item(TaskKind::AsyncTask, true), TaskKind::AsyncTask);
  m.register_task(5, item(TaskKind::Timer, true), TaskKind::Timer);

  const StatusSummary s = m.status_summary();
  EXPECT_EQ(s, (StatusSummary{2, 1, 2, 5}));
  EXPECT_EQ(m.running_count(), 3u);
  EXPECT_EQ(m.timer_count(), 2u);
  EXPECT_EQ(m.async_task_count(), 1u);
  EXPECT_EQ(m.total_count(), 5u);
}

// A stop ends an idle timer at once, a timer inside a call when the call returns, and a call
// only when its body finishes (skipping it if it had not begun).
TEST(TaskRegistry, StopAllEndsEachItemWhenNoCodeOfItRunsAndSetsTheStopFlagForGood) {
  TaskManager m;
  auto idle_timer = item(TaskKind::Timer);
  auto busy_timer = item(TaskKind::Timer);
  auto call = item(TaskKind::AsyncTask);
  m.register_task(1, idle_timer, TaskKind::Timer);
  m.register_task(2, busy_timer, TaskKind::Timer);
  m.register_task(3, call, TaskKind::AsyncTask);
  ASSERT_TRUE(busy_timer->begin_call());
  EXPECT_FALSE(m.stop_requested());

  m.stop_all();
  EXPECT_TRUE(m.stop_requested());
  EXPECT_TRUE(idle_timer->ended());
  EXPECT_FALSE(busy_timer->ended());
  EXPECT_FALSE(call->begin_call());  // the call is skipped...
  EXPECT_EQ(m.status_summary(), (StatusSummary{1, 1, 1, 3}));
  busy_timer->end_call();
  call->finish();  // ...and its body then finishes
  EXPECT_EQ(m.status_summary(), (StatusSummary{0, 0, 3, 3}));

  // Work registered afterwards runs until stopped; the stop flag stays set.
  auto later = item(TaskKind::Timer);
  m.register_task(4, later, TaskKind::Timer);
  EXPECT_EQ(m.running_count(), 1u);
  m.stop_all();
  EXPECT_TRUE(later->ended());
  EXPECT_TRUE(m.stop_requested());
}

// A stop can be cleared only once everything it asked to stop has ended; then a timer
// started afterwards passes the flag check again.
TEST(TaskRegistry, ResetStopWaitsForNothingToRunAndNamesWhatStillRuns) {
  TaskManager m;
  EXPECT_EQ(m.reset_stop().value(), false);  // no stop in effect: nothing to clear

  auto busy_timer = item(TaskKind::Timer);
  auto call = item(TaskKind::AsyncTask);
  m.register_task(7, busy_timer, TaskKind::Timer);
  m.register_task(3, call, TaskKind::AsyncTask);
  ASSERT_TRUE(busy_timer->begin_call());
  m.stop_all();

  Result<bool> refused = m.reset_stop();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            Error::runtime("reset_stop refused: still running: background call 3, timer 7; stop "
                           "and wait for them first (shutdown_all)"));
  EXPECT_TRUE(m.stop_requested());  // unchanged by the refusal

  busy_timer->end_call();
  call->finish();
  EXPECT_EQ(m.reset_stop().value(), true);
  EXPECT_FALSE(m.stop_requested());
  auto later = item(TaskKind::Timer);
  m.register_task(8, later, TaskKind::Timer);
  EXPECT_TRUE(may_call(*later, m.stop_flag()));
  later->end_call();
}

TEST(TaskRegistry, CleanupUnregisterAndReplaceRemoveEntries) {
  TaskManager m;
  auto ended = item(TaskKind::AsyncTask, true);
  std::weak_ptr<RunState> ended_watch = ended;
  m.register_task(1, std::move(ended), TaskKind::AsyncTask);
  m.register_task(2, item(TaskKind::AsyncTask), TaskKind::AsyncTask);
  EXPECT_EQ(m.cleanup(), 1u);
  EXPECT_TRUE(ended_watch.expired());
  EXPECT_EQ(m.total_count(), 1u);
  m.unregister_task(10);  // unknown: ignored
  m.unregister_task(2);
  EXPECT_EQ(m.total_count(), 0u);
  m.register_task(3, item(TaskKind::Timer, true), TaskKind::Timer);
  m.register_task(3, item(TaskKind::AsyncTask), TaskKind::AsyncTask);
  EXPECT_EQ(m.status_summary(), (StatusSummary{0, 1, 0, 1}));
}

TEST(TaskRegistry, AReleasedEntryLeavesOnceItHasEnded) {
  TaskManager m;
  auto ended = item(TaskKind::Timer, true);
  auto running = item(TaskKind::AsyncTask);
  m.register_task(1, ended, TaskKind::Timer);
  m.register_task(2, running, TaskKind::AsyncTask);
  m.release_task(1);
  m.release_task(2);
  EXPECT_EQ(m.status_summary(), (StatusSummary{0, 1, 0, 1}));
  running->finish();
  EXPECT_EQ(m.total_count(), 0u);
}

TEST(TaskRegistryWait, NothingRunningOrAZeroLimitAnswersWithoutWaiting) {
  TaskManager m;
  m.register_task(1, item(TaskKind::Timer, true), TaskKind::Timer);
  int checks = 0;
  auto count = [&checks] { return ++checks < 0; };
  EXPECT_EQ(m.wait_all(std::nullopt, count), rt::WaitEnd::Done);
  EXPECT_TRUE(m.wait_all(0ms));
  m.register_task(2, item(TaskKind::AsyncTask), TaskKind::AsyncTask);
  EXPECT_EQ(m.wait_all(0ms, count), rt::WaitEnd::TimedOut);
  EXPECT_EQ(checks, 0);
}

// The wait wakes when the last item ends, not at a poll: the interrupt check runs only every
// rt::kInterruptCheckPeriod, and the items end long before the first one would run.
TEST(TaskRegistryWait, WakesWhenTheLastItemEndsAndTimesOutWhenOneNeverDoes) {
  TaskManager m;
  auto a = item(TaskKind::Timer);
  auto b = item(TaskKind::AsyncTask);
  m.register_task(1, a, TaskKind::Timer);
  m.register_task(2, b, TaskKind::AsyncTask);
  std::thread ender([&] {
    a->request_stop();
    b->finish();
  });
  EXPECT_TRUE(m.wait_all(60'000ms));
  ender.join();
  m.register_task(3, item(TaskKind::AsyncTask), TaskKind::AsyncTask);
  const auto start = Clock::now();
  EXPECT_EQ(m.wait_all(30ms, [] { return false; }), rt::WaitEnd::TimedOut);
  EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(TaskRegistryWait, InterruptEndsTheWaitAndNoLockIsHeldDuringIt) {
  TaskManager m;
  auto run = item(TaskKind::Timer);
  m.register_task(1, run, TaskKind::Timer);
  int polls = 0;
  using Limit = std::optional<std::chrono::nanoseconds>;
  for (auto limit : {Limit{}, Limit{60s}}) {
    polls = 0;
    const auto outcome = m.wait_all(limit, [&] {
      // Registering takes the write lock: this would deadlock if the wait held the lock.
      m.register_task(100 + polls, item(TaskKind::AsyncTask, true), TaskKind::AsyncTask);
      return ++polls == 3;
    });
    EXPECT_EQ(outcome, rt::WaitEnd::Interrupted);
    EXPECT_EQ(polls, 3);
    EXPECT_FALSE(run->ended());
  }
}

// A wait from inside an item's own call does not wait for that item.
TEST(TaskRegistryWait, AWaitInsideACallDoesNotWaitForItsOwnItem) {
  TaskManager m;
  auto run = item(TaskKind::AsyncTask);
  m.register_task(1, run, TaskKind::AsyncTask);
  ASSERT_TRUE(run->begin_call());
  RunState::CallScope inside(*run);
  EXPECT_TRUE(m.wait_all(0ms));
}

}  // namespace
}  // namespace varnex
