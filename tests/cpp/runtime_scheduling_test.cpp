#include <atomic>
#include <memory>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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
