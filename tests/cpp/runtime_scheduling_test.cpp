#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/completion.hpp"
#include "runtime/runtime.hpp"
#include "runtime/thread_util.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using namespace varnex::rt;

namespace {

Task<int> add_after(int a, int b, std::chrono::milliseconds delay) {
  co_await sleep_for(delay);
  co_return a + b;
}

Task<int> at_once(int i) { co_return i; }

[[gnu::noinline]] std::uintptr_t stack_position() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Awaits `n` tasks that finish without suspending; how far the stack moved from the first to
// the last await.
Task<std::uintptr_t> await_finished_tasks(int n, long long* sum) {
  std::uintptr_t first = 0, last = 0;
  for (int i = 0; i < n; ++i) {
    *sum += co_await at_once(i);
    last = stack_position();
    if (i == 0) first = last;
  }
  co_return first > last ? first - last : last - first;
}

Task<int> throws_after_sleep() {
  co_await sleep_for(1ms);
  throw std::runtime_error("boom");
}

}  // namespace

TEST(RuntimeCreation, ConcurrentFirstUsesShareOneInstance) {
  std::vector<Runtime*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = &Runtime::get(); });
  for (auto& t : threads) t.join();
  for (Runtime* r : seen) EXPECT_EQ(r, seen.front());
  EXPECT_EQ(Runtime::get().workers().size(), available_cpus());
}

TEST(Spawn, ManyTasksCompleteAndWorkersDoNotGrow) {
  constexpr int kTasks = 2000;
  std::vector<JoinHandle<int>> handles;
  for (int i = 0; i < kTasks; ++i) handles.push_back(spawn(add_after(i, 1, 1ms)));
  long long sum = 0;
  for (auto& h : handles) sum += block_on(h.join());
  EXPECT_EQ(sum, static_cast<long long>(kTasks) * (kTasks - 1) / 2 + kTasks);
  EXPECT_EQ(Runtime::get().workers().live_workers(), Runtime::get().workers().size());
}

TEST(Await, TasksThatFinishAtOnceDoNotGrowTheStack) {
  // 200,000 nested resumptions would take far more than a thread's 8 MiB of stack.
  long long sum = 0;
  const std::uintptr_t moved = block_on(await_finished_tasks(200000, &sum));
  EXPECT_EQ(sum, 200000LL * 199999 / 2);
  EXPECT_LT(moved, 4096u);
}

TEST(Spawn, ExceptionReachesTheJoiner) {
  auto handle = spawn(throws_after_sleep());
  EXPECT_THROW(block_on(handle.join()), std::runtime_error);
}

TEST(Spawn, DroppedHandleDetachesTheTask) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  {
    auto task = [](std::shared_ptr<std::atomic<bool>> flag) -> Task<void> {
      co_await sleep_for(20ms);
      flag->store(true);
    };
    spawn(task(done));  // handle dropped at once
  }
  block_on(sleep_for(300ms));
  EXPECT_TRUE(done->load());
}

TEST(Spawn, AbortStopsASleepingTaskAndWithdrawsItsTimer) {
  auto reached = std::make_shared<std::atomic<bool>>(false);
  auto task = [](std::shared_ptr<std::atomic<bool>> flag) -> Task<void> {
    co_await sleep_for(10s);
    flag->store(true);
  };
  auto handle = spawn(task(reached));
  block_on(sleep_for(20ms));
  handle.abort();
  EXPECT_THROW(block_on(handle.join()), TaskAborted);
  EXPECT_FALSE(reached->load());
}

TEST(BlockOn, OnAWorkerIsAFatalErrorWithTheExactMessage) {
  auto task = []() -> Task<std::string> {
    try {
      block_on(sleep_for(1ms));
    } catch (const FatalError& e) {
      co_return e.what();
    }
    co_return "no error";
  };
  EXPECT_EQ(block_on(spawn(task()).join()), kBlockOnInRuntimeMessage);
}

TEST(BlockOn, NestedInsideBlockOnIsRefused) {
  auto task = []() -> Task<bool> {
    try {
      block_on(sleep_for(1ms));
    } catch (const FatalError&) {
      co_return true;
    }
    co_return false;
  };
  EXPECT_TRUE(block_on(task()));
}

TEST(BlockInPlace, OtherTasksProgressWhileAWorkerBlocksAndBlockOnWorksInside) {
  // Occupy every worker with a task that blocks in place; the ticking task must still run.
  const unsigned workers = Runtime::get().workers().size();
  std::atomic<int> ticks{0};
  std::atomic<bool> release{false};
  auto blocker = [&]() -> Task<int> {
    int inner = block_in_place([&] {
      int v = block_on(add_after(40, 2, 1ms));  // allowed after the hand-over
      while (!release.load()) std::this_thread::sleep_for(1ms);
      return v;
    });
    co_return inner;
  };
  auto ticker = [&]() -> Task<void> {
    for (int i = 0; i < 10; ++i) {
      co_await sleep_for(2ms);
      ++ticks;
    }
  };
  std::vector<JoinHandle<int>> blockers;
  for (unsigned i = 0; i < workers; ++i) blockers.push_back(spawn(blocker()));
  std::this_thread::sleep_for(50ms);  // let every blocker enter its blocking section
  auto tick_handle = spawn(ticker());
  block_on(tick_handle.join());
  EXPECT_EQ(ticks.load(), 10);
  release = true;
  for (auto& b : blockers) EXPECT_EQ(block_on(b.join()), 42);
  // Replacement workers retire once they find the queue empty again.
  for (int i = 0; i < 200 && Runtime::get().workers().live_workers() > workers; ++i)
    block_on(sleep_for(5ms));
  EXPECT_EQ(Runtime::get().workers().live_workers(), workers);
}

TEST(BlockInPlace, OffTheRuntimeItJustRuns) {
  EXPECT_EQ(block_in_place([] { return 7; }), 7);
}

TEST(SpawnBlocking, RunsOnThePoolAndCanBeAwaited) {
  auto task = []() -> Task<int> {
    auto handle = spawn_blocking([] {
      std::this_thread::sleep_for(5ms);
      return 5;
    });
    co_return co_await handle.join();
  };
  EXPECT_EQ(block_on(spawn(task()).join()), 5);
}

TEST(SpawnBlocking, BlockOnIsAllowedOnAPoolThread) {
  auto handle = spawn_blocking([] { return block_on(add_after(1, 2, 1ms)); });
  EXPECT_EQ(block_on(handle.join()), 3);
}

TEST(BlockOn, ReturnsMoveOnlyResults) {
  auto task = []() -> Task<std::unique_ptr<int>> {
    co_await sleep_for(1ms);
    co_return std::make_unique<int>(9);
  };
  EXPECT_EQ(*block_on(task()), 9);
}

// Jobs handed in one after another go to the thread that became idle last, so a steady trickle
// reuses one warm thread instead of waking each idle thread in turn.
TEST(BlockingPool, AJobGoesToTheThreadThatBecameIdleLast) {
  BlockingPool pool;
  // A thread goes idle right after its job and nothing signals that moment, so look.
  auto all_idle = [&pool] {
    for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::yield()) {
      if (pool.idle_count() == pool.thread_count()) return true;
    }
    return false;
  };
  std::atomic<int> started{0};
  Completion all_started, release;
  for (int i = 0; i < 3; ++i) {  // three threads, busy at once
    pool.submit([&] {
      if (++started == 3) all_started.set();
      release.wait_until(std::nullopt);
    });
  }
  ASSERT_TRUE(all_started.wait_until(Clock::now() + 10s));
  release.set();
  ASSERT_TRUE(all_idle());
  const unsigned threads = pool.thread_count();
  EXPECT_GE(threads, 3u);
  std::set<std::thread::id> trickle;
  auto done = std::make_shared<Completion>();
  for (int i = 0; i < 20; ++i) {
    done = std::make_shared<Completion>();
    std::thread::id ran_on;
    pool.submit([&ran_on, done] {
      ran_on = std::this_thread::get_id();
      done->set();
    });
    ASSERT_TRUE(done->wait_until(Clock::now() + 10s));
    ASSERT_TRUE(all_idle());
    trickle.insert(ran_on);
  }
  EXPECT_EQ(trickle.size(), 1u);
  EXPECT_EQ(pool.thread_count(), threads);
}

// Work scheduled from many threads at once all runs, on no more workers than the pool's size.
TEST(WorkerPool, TasksSpawnedFromManyThreadsAllRun) {
  std::atomic<int> ran{0};
  auto task = [](std::atomic<int>& counter) -> Task<void> {
    ++counter;
    co_return;
  };
  std::vector<std::thread> spawners;
  std::vector<JoinHandle<void>> handles[4];
  for (int t = 0; t < 4; ++t) {
    spawners.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) handles[t].push_back(spawn(task(ran)));
    });
  }
  for (auto& s : spawners) s.join();
  for (auto& list : handles) {
    for (auto& h : list) {
      ASSERT_TRUE(h.state()->finished().wait_until(Clock::now() + 10s));
    }
  }
  EXPECT_EQ(ran.load(), 2000);
  EXPECT_LE(Runtime::get().workers().live_workers(), Runtime::get().workers().size());
}
