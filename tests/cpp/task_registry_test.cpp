#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tasks/task_id.hpp"
#include "tasks/task_registry.hpp"

namespace varnex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

RunningFlag running_flag(bool value = true) { return std::make_shared<std::atomic<bool>>(value); }

// Counts the polls of a wait: the interrupt check runs once after every sleep.
struct PollCounter {
  std::atomic<int> polls{0};
  std::function<bool()> check() {
    return [this] {
      ++polls;
      return false;
    };
  }
};

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

TEST(TaskRegistry, GlobalRegistryIsOneObject) {
  EXPECT_EQ(&task_manager(), &task_manager());
}

TEST(TaskRegistry, StatusCountsEachKindAndStoppedEntries) {
  TaskManager m;
  EXPECT_EQ(m.status_summary(), StatusSummary{});
  m.register_task(1, running_flag(), nullptr, TaskKind::Timer);
  m.register_task(2, running_flag(), nullptr, TaskKind::Timer);
  m.register_task(3, running_flag(), nullptr, TaskKind::AsyncTask);
  m.register_task(4, running_flag(false), nullptr, TaskKind::AsyncTask);
  m.register_task(5, running_flag(false), nullptr, TaskKind::Timer);

  const StatusSummary s = m.status_summary();
  EXPECT_EQ(s, (StatusSummary{2, 1, 2, 5}));
  EXPECT_EQ(s.running_timers + s.running_tasks + s.stopped, s.total);
  EXPECT_EQ(m.running_count(), 3u);
  EXPECT_EQ(m.timer_count(), 2u);
  EXPECT_EQ(m.async_task_count(), 1u);
  EXPECT_EQ(m.total_count(), 5u);
}

TEST(TaskRegistry, FlagClearedByItsHolderCountsAsStopped) {
  TaskManager m;
  auto flag = running_flag();
  m.register_task(7, flag, nullptr, TaskKind::Timer);
  EXPECT_EQ(m.running_count(), 1u);
  flag->store(false);  // the timer's own loop or its handle stops it
  EXPECT_EQ(m.running_count(), 0u);
  EXPECT_EQ(m.status_summary(), (StatusSummary{0, 0, 1, 1}));
}

TEST(TaskRegistry, StopAllClearsEveryFlagKeepsEntriesAndSetsStopFlagForGood) {
  TaskManager m;
  std::vector<RunningFlag> flags{running_flag(), running_flag(), running_flag()};
  m.register_task(1, flags[0], nullptr, TaskKind::Timer);
  m.register_task(2, flags[1], nullptr, TaskKind::AsyncTask);
  m.register_task(3, flags[2], nullptr, TaskKind::Timer);
  EXPECT_FALSE(m.stop_requested());

  m.stop_all();
  for (const auto& f : flags) EXPECT_FALSE(f->load());
  EXPECT_TRUE(m.stop_requested());
  EXPECT_TRUE(m.stop_flag().load());
  EXPECT_EQ(m.total_count(), 3u);
  EXPECT_EQ(m.running_count(), 0u);
  EXPECT_EQ(m.status_summary().stopped, 3u);

  // Work registered afterwards runs (the registry never clears on its own) but the stop flag,
  // which timer loops read, stays set; a second stop_all is harmless.
  auto later = running_flag();
  m.register_task(4, later, nullptr, TaskKind::Timer);
  EXPECT_TRUE(later->load());
  EXPECT_TRUE(m.stop_requested());
  m.stop_all();
  EXPECT_FALSE(later->load());
  EXPECT_TRUE(m.stop_requested());
}

TEST(TaskRegistry, CleanupRemovesOnlyStoppedEntriesAndReleasesTheirSlots) {
  TaskManager m;
  auto stopped_slot = std::make_shared<int>(1);
  auto running_slot = std::make_shared<int>(2);
  std::weak_ptr<int> stopped_watch = stopped_slot, running_watch = running_slot;
  m.register_task(1, running_flag(false), std::move(stopped_slot), TaskKind::AsyncTask);
  m.register_task(2, running_flag(true), std::move(running_slot), TaskKind::AsyncTask);

  EXPECT_EQ(m.cleanup(), 1u);
  EXPECT_EQ(m.total_count(), 1u);
  EXPECT_EQ(m.running_count(), 1u);
  EXPECT_TRUE(stopped_watch.expired());
  EXPECT_FALSE(running_watch.expired());

  m.stop_all();
  EXPECT_EQ(m.cleanup(), 1u);
  EXPECT_EQ(m.total_count(), 0u);
  EXPECT_TRUE(running_watch.expired());
}

TEST(TaskRegistry, UnregisterDropsTheEntryAndIgnoresUnknownIds) {
  TaskManager m;
  auto slot = std::make_shared<int>(0);
  std::weak_ptr<int> watch = slot;
  m.register_task(9, running_flag(), std::move(slot), TaskKind::Timer);
  m.unregister_task(10);
  EXPECT_EQ(m.total_count(), 1u);
  m.unregister_task(9);
  EXPECT_EQ(m.total_count(), 0u);
  EXPECT_TRUE(watch.expired());
  m.unregister_task(9);  // already removed, e.g. by cleanup()
  EXPECT_EQ(m.total_count(), 0u);
}

TEST(TaskRegistry, RegisterUnderAnExistingIdReplacesTheEntry) {
  TaskManager m;
  auto old_slot = std::make_shared<int>(0);
  std::weak_ptr<int> watch = old_slot;
  m.register_task(3, running_flag(false), std::move(old_slot), TaskKind::Timer);
  m.register_task(3, running_flag(true), nullptr, TaskKind::AsyncTask);
  EXPECT_EQ(m.status_summary(), (StatusSummary{0, 1, 0, 1}));
  EXPECT_TRUE(watch.expired());
}

TEST(TaskRegistryWait, NothingRunningReturnsTrueWithoutSleeping) {
  TaskManager m;
  m.register_task(1, running_flag(false), nullptr, TaskKind::Timer);
  for (auto limit : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
                     std::optional<std::uint64_t>{1000}}) {
    PollCounter counter;
    EXPECT_EQ(m.wait_all(limit, counter.check()), WaitOutcome::AllStopped);
    EXPECT_EQ(counter.polls.load(), 0);
    EXPECT_TRUE(m.wait_all(limit));
  }
}

TEST(TaskRegistryWait, ZeroLimitWithRunningEntryTimesOutWithoutSleeping) {
  TaskManager m;
  m.register_task(1, running_flag(), nullptr, TaskKind::AsyncTask);
  PollCounter counter;
  EXPECT_EQ(m.wait_all(0, counter.check()), WaitOutcome::TimedOut);
  EXPECT_EQ(counter.polls.load(), 0);
  EXPECT_FALSE(m.wait_all(0));
}

TEST(TaskRegistryWait, LimitChecksTimeBeforeEachTenMillisecondSleep) {
  TaskManager m;
  m.register_task(1, running_flag(), nullptr, TaskKind::Timer);
  PollCounter counter;
  const auto start = Clock::now();
  EXPECT_EQ(m.wait_all(35, counter.check()), WaitOutcome::TimedOut);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 35ms);
  // Four sleeps of at least 10 ms each pass 35 ms; a loaded machine may need no more.
  EXPECT_GE(counter.polls.load(), 4);
  EXPECT_LT(elapsed, 5s);
}

TEST(TaskRegistryWait, WithoutLimitReturnsOnceAnotherThreadClearsTheFlags) {
  TaskManager m;
  auto flag = running_flag();
  m.register_task(1, flag, nullptr, TaskKind::Timer);

  std::mutex mu;
  std::condition_variable cv;
  int polls = 0;
  std::thread stopper([&] {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return polls >= 2; });
    flag->store(false);
  });
  const auto outcome = m.wait_all(std::nullopt, [&] {
    {
      std::lock_guard lock(mu);
      ++polls;
    }
    cv.notify_one();
    return false;
  });
  stopper.join();
  EXPECT_EQ(outcome, WaitOutcome::AllStopped);
  EXPECT_GE(polls, 2);
}

TEST(TaskRegistryWait, LimitedWaitReturnsTrueWhenFlagsClearInTime) {
  TaskManager m;
  auto flag = running_flag();
  m.register_task(1, flag, nullptr, TaskKind::AsyncTask);
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    flag->store(false);
  });
  EXPECT_TRUE(m.wait_all(60000));
  stopper.join();
}

TEST(TaskRegistryWait, StopAllThenWaitReturnsAtOnce) {
  TaskManager m;
  m.register_task(1, running_flag(), nullptr, TaskKind::Timer);
  m.register_task(2, running_flag(), nullptr, TaskKind::AsyncTask);
  m.stop_all();
  PollCounter counter;
  EXPECT_EQ(m.wait_all(std::nullopt, counter.check()), WaitOutcome::AllStopped);
  EXPECT_EQ(counter.polls.load(), 0);
}

TEST(TaskRegistryWait, InterruptEndsTheWaitAndNoLockIsHeldDuringIt) {
  TaskManager m;
  auto flag = running_flag();
  m.register_task(1, flag, nullptr, TaskKind::Timer);
  int polls = 0;
  for (auto limit : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{60000}}) {
    polls = 0;
    const auto outcome = m.wait_all(limit, [&] {
      // Registering takes the write lock: this would deadlock if the wait held the lock.
      m.register_task(100 + polls, running_flag(false), nullptr, TaskKind::AsyncTask);
      return ++polls == 3;
    });
    EXPECT_EQ(outcome, WaitOutcome::Interrupted);
    EXPECT_EQ(polls, 3);
    EXPECT_TRUE(flag->load());
  }
}

}  // namespace
}  // namespace varnex
