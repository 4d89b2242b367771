#include "runtime/signal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using namespace varnex::rt;

namespace {

std::atomic<int> g_previous_handler_calls{0};
void previous_handler(int) { ++g_previous_handler_calls; }

Task<bool> wait_signal(SignalListener& listener, std::chrono::milliseconds limit) {
  auto got = co_await timeout(Clock::now() + limit, listener);
  co_return got.has_value();
}

}  // namespace

// SIGUSR1 stands in for SIGINT/SIGTERM so that the test process is never at risk.
TEST(SignalListener, SeesDeliveriesWhileItExistsAndChainsThePreviousHandler) {
  struct sigaction action {};
  action.sa_handler = previous_handler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

  auto listener = SignalListener::create(SIGUSR1);
  ASSERT_TRUE(listener.ok());
  raise(SIGUSR1);
  EXPECT_TRUE(block_on(wait_signal(*listener, 2000ms)));
  EXPECT_EQ(g_previous_handler_calls.load(), 1);
  EXPECT_FALSE(block_on(wait_signal(*listener, 50ms)));  // one delivery, taken once
}

TEST(SignalListener, ADeliveryBeforeTheListenerExistedIsNotSeen) {
  auto first = SignalListener::create(SIGUSR1);  // makes sure the handler is installed
  ASSERT_TRUE(first.ok());
  raise(SIGUSR1);
  auto later = SignalListener::create(SIGUSR1);
  ASSERT_TRUE(later.ok());
  EXPECT_FALSE(block_on(wait_signal(*later, 100ms)));
  raise(SIGUSR1);
  EXPECT_TRUE(block_on(wait_signal(*later, 2000ms)));
}
