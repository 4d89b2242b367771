#include "runtime/completion.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/channel.hpp"
#include "runtime/runtime.hpp"

namespace varnex::rt {
namespace {

using namespace std::chrono_literals;

TEST(Completion, WakesABlockedWaiterAndEveryLaterOne) {
  Completion done;
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    done.set();
  });
  EXPECT_TRUE(done.wait_until(std::nullopt));
  EXPECT_TRUE(done.wait_until(Clock::now()));  // stays set, even past its deadline
  setter.join();
}

TEST(Completion, DeadlineEndsTheWaitUnset) {
  Completion done;
  EXPECT_EQ(wait_for_completion(done, Clock::now() + 20ms), WaitEnd::TimedOut);
  EXPECT_FALSE(done.is_set());
}

TEST(Completion, InterruptCheckRunsBetweenSlicesAndEndsTheWait) {
  Completion done;
  int checks = 0;
  const WaitEnd end = wait_for_completion(done, std::nullopt, [&] { return ++checks == 3; });
  EXPECT_EQ(end, WaitEnd::Interrupted);
  EXPECT_EQ(checks, 3);
}

// A set() racing with the waiter's check-then-sleep must never be lost: each round has a fresh
// completion set from another thread at once, and the waiter has no deadline.
TEST(Completion, NoLostWakeUpUnderAStressLoop) {
  for (int i = 0; i < 20000; ++i) {
    auto done = std::make_shared<Completion>();
    std::thread setter([done] { done->set(); });
    EXPECT_EQ(wait_for_completion(*done, std::nullopt), WaitEnd::Done);
    setter.join();
  }
}

TEST(Completion, WakesAwaitingTasks) {
  auto done = std::make_shared<Completion>();
  auto task = [](std::shared_ptr<Completion> c) -> Task<int> {
    co_await wait(*c);
    co_return 7;
  };
  JoinHandle<int> a = spawn(task(done));
  JoinHandle<int> b = spawn(task(done));
  std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(a.is_finished());
  done->set();
  EXPECT_EQ(wait_for_completion(a.state()->finished(), Clock::now() + 5s), WaitEnd::Done);
  EXPECT_EQ(wait_for_completion(b.state()->finished(), Clock::now() + 5s), WaitEnd::Done);
  EXPECT_EQ(*a.state()->peek(), 7);
}

TEST(Completion, LetsGoOfWaitersThatStoppedWaiting) {
  // A device's close completion is polled by every wait on the device for its whole life.
  Completion closed;
  Waker first = std::make_shared<WakeTarget>(nullptr, Job{});
  std::weak_ptr<WakeTarget> first_seen = first;
  EXPECT_FALSE(closed.poll(first));
  first->finish();  // that wait got its frame
  first.reset();
  Waker second = std::make_shared<WakeTarget>(nullptr, Job{});
  EXPECT_FALSE(closed.poll(second));
  EXPECT_TRUE(first_seen.expired());
  second->finish();
}

// block_on moves the task's value out, so a move-only result needs no detour.
TEST(BlockOn, HandsBackAMoveOnlyValue) {
  auto make = []() -> Task<std::unique_ptr<int>> { co_return std::make_unique<int>(4); };
  std::unique_ptr<int> value = block_on(make());
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, 4);
}

TEST(WaitOpUntil, TakesAValueSentWhileWaitingAndNothingOnTimeOut) {
  auto [tx, rx] = make_channel<int>();
  auto recv = rx.recv_op();
  OpWait<std::optional<int>> none = wait_op_until(recv, Clock::now() + 10ms);
  EXPECT_EQ(none.end, WaitEnd::TimedOut);
  EXPECT_FALSE(none.value);
  std::thread sender([&tx] {
    std::this_thread::sleep_for(20ms);
    tx.send(5);
  });
  auto recv2 = rx.recv_op();
  OpWait<std::optional<int>> got = wait_op_until(recv2, Clock::now() + 5s);
  sender.join();
  ASSERT_EQ(got.end, WaitEnd::Done);
  EXPECT_EQ(**got.value, 5);
}

// Values sent right at the end of short waits are never lost: each is either taken by the wait
// that timed out at that moment or by a later one.
TEST(WaitOpUntil, NothingLostAtTheEdgeOfTimeOuts) {
  auto [tx, rx] = make_channel<int>();
  constexpr int kCount = 2000;
  std::thread sender([&tx] {
    for (int i = 0; i < kCount; ++i) {
      tx.send(i);
      if (i % 16 == 0) std::this_thread::sleep_for(50us);
    }
  });
  int expected = 0;
  while (expected < kCount) {
    auto recv = rx.recv_op();
    OpWait<std::optional<int>> got = wait_op_until(recv, Clock::now() + 20us);
    if (got.value) {
      EXPECT_EQ(**got.value, expected++);
    }
  }
  sender.join();
}

// A check that says stop wins even over a value that arrived during the check (a Python signal
// handler that raised, with its exception set): the value stays for the next wait.
TEST(WaitOpUntil, AnInterruptionTakesNothingEvenWhenTheOpBecameReadyMeanwhile) {
  auto [tx, rx] = make_channel<int>();
  auto recv = rx.recv_op();
  OpWait<std::optional<int>> got = wait_op_until(recv, std::nullopt, [&tx = tx] {
    tx.send(7);
    return true;
  });
  EXPECT_EQ(got.end, WaitEnd::Interrupted);
  EXPECT_FALSE(got.value);
  EXPECT_EQ(rx.try_recv(), 7);
}

}  // namespace
}  // namespace varnex::rt
