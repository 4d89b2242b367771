#include "runtime/async_mutex.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

using namespace varnex::rt;
using varnex::rt::testing::CountingExecutor;
using varnex::rt::testing::manual_waker;

TEST(AsyncMutex, GrantsStrictlyInArrivalOrder) {
  AsyncMutex mutex;
  CountingExecutor executor;
  auto holder = mutex.try_lock();
  ASSERT_TRUE(holder);

  std::vector<std::unique_ptr<LockOp>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(std::make_unique<LockOp>(mutex));
    EXPECT_FALSE(waiters.back()->poll(manual_waker(executor)));  // queued, in this order
  }
  EXPECT_FALSE(mutex.try_lock());  // a newcomer cannot overtake the queue

  std::vector<int> order;
  AsyncMutexGuard current = std::move(*holder);
  for (int round = 0; round < 4; ++round) {
    current.unlock();
    int granted = -1;
    for (int i = 0; i < 4; ++i) {
      if (!waiters[i]) continue;
      if (auto g = waiters[i]->poll(manual_waker(executor))) {
        EXPECT_EQ(granted, -1) << "two waiters hold the lock";
        granted = i;
        current = std::move(*g);
      }
    }
    ASSERT_NE(granted, -1);
    order.push_back(granted);
    waiters[granted].reset();
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(executor.wakes, 4);
}

TEST(AsyncMutex, AWithdrawnWaiterPassesAGrantedLockOn) {
  AsyncMutex mutex;
  CountingExecutor executor;
  auto holder = mutex.try_lock();
  auto first = std::make_unique<LockOp>(mutex);
  LockOp second(mutex);
  EXPECT_FALSE(first->poll(manual_waker(executor)));
  EXPECT_FALSE(second.poll(manual_waker(executor)));
  holder->unlock();  // granted to `first`
  first.reset();     // which goes away without taking it
  EXPECT_TRUE(second.poll(manual_waker(executor)));
}

TEST(AsyncMutex, BlockingLockWorksOffTheRuntimeAndIsFatalOnAWorker) {
  AsyncMutex mutex;
  { auto guard = mutex.lock_blocking(); }
  auto task = [&]() -> Task<std::string> {
    try {
      auto guard = mutex.lock_blocking();
    } catch (const FatalError& e) {
      co_return e.what();
    }
    co_return "no error";
  };
  EXPECT_EQ(block_on(spawn(task()).join()), kBlockingLockInRuntimeMessage);
}

TEST(AsyncMutex, TasksSerialiseThroughIt) {
  AsyncMutex mutex;
  int counter = 0;  // only touched under the mutex
  auto task = [&]() -> Task<void> {
    for (int i = 0; i < 200; ++i) {
      auto op = mutex.lock_op();
      auto guard = co_await wait(op);
      int seen = counter;
      co_await sleep_for(std::chrono::microseconds(0));
      counter = seen + 1;
    }
  };
  std::vector<JoinHandle<void>> handles;
  for (int i = 0; i < 8; ++i) handles.push_back(spawn(task()));
  for (auto& h : handles) block_on(h.join());
  EXPECT_EQ(counter, 1600);
}
