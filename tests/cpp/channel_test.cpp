#include "runtime/channel.hpp"

#include <gtest/gtest.h>

#include <string>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using namespace varnex::rt;

TEST(Channel, KeepsOrderAcrossSendersAndClosesWhenEverySenderIsGone) {
  auto [tx, rx] = make_channel<int>();
  {
    Sender<int> tx2 = tx;
    EXPECT_FALSE(tx.send(1));
    EXPECT_FALSE(tx2.send(2));
  }
  EXPECT_FALSE(tx.send(3));
  { auto drop = std::move(tx); }
  auto recv_all = [](Receiver<int>& r) -> Task<std::string> {
    std::string got;
    auto op = r.recv_op();
    for (;;) {
      auto v = co_await wait(op);
      if (!v) co_return got + "|closed";
      got += std::to_string(*v);
    }
  };
  EXPECT_EQ(block_on(recv_all(rx)), "123|closed");
}

TEST(Channel, SendHandsTheValueBackOnceTheReceiverIsGone) {
  auto [tx, rx] = make_channel<std::string>();
  { auto drop = std::move(rx); }
  auto back = tx.send("frame");
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, "frame");
}

TEST(Channel, TryRecvTellsEmptyFromClosed) {
  auto [tx, rx] = make_channel<int>();
  TryRecvError why{};
  EXPECT_FALSE(rx.try_recv(&why));
  EXPECT_EQ(why, TryRecvError::Empty);
  EXPECT_FALSE(tx.send(9));
  { auto drop = std::move(tx); }
  EXPECT_EQ(rx.try_recv(&why), 9);
  EXPECT_FALSE(rx.try_recv(&why));
  EXPECT_EQ(why, TryRecvError::Closed);
}

TEST(Channel, AWaitingReceiverIsWokenByASendFromAnotherThread) {
  auto [tx, rx] = make_channel<int>();
  auto receiver = [](Receiver<int> r) -> Task<int> {
    auto op = r.recv_op();
    auto v = co_await wait(op);
    co_return v.value_or(-1);
  };
  auto handle = spawn(receiver(std::move(rx)));
  block_on(sleep_for(10ms));
  EXPECT_FALSE(tx.send(77));
  EXPECT_EQ(block_on(handle.join()), 77);
}
