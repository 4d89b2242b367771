// The lock-order checker stops a wrong order the first time it happens, naming both locks.
#include "common/lock_order.hpp"

#include <gtest/gtest.h>

#include <mutex>

namespace varnex {
namespace {

bool holds_gil_here() noexcept { return true; }

TEST(LockOrder, WaitsInTheWrongOrderAbortWithBothLocksNamedAndTheRightOrderPasses) {
  if (!lock_order::kChecked) GTEST_SKIP() << "built without VARNEX_LOCK_RANK_CHECKS";
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "death tests fork, which ThreadSanitizer does not follow";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RankedMutex<LockRank::TaskRegistry> registry;
  RankedMutex<LockRank::DiagnosticQueue> diagnostics;
  {
    std::lock_guard outer(registry);  // the order as written: no complaint
    std::lock_guard inner(diagnostics);
  }
  EXPECT_DEATH(
      {
        std::lock_guard outer(diagnostics);
        std::lock_guard inner(registry);
      },
      "lock order violation: waiting for the task registry while holding the diagnostic queue");
  // The rule behind the receive deadlocks: a receive turn's holder may take the GIL.
  EXPECT_DEATH(
      {
        lock_order::set_gil_probe(&holds_gil_here);
        lock_order::before_wait(LockRank::CanReceiveTurn);
      },
      "waiting for a CAN receive turn while holding the GIL");
  EXPECT_DEATH(
      {
        std::lock_guard held(registry);
        lock_order::before_wait(LockRank::Gil);
      },
      "waiting for the GIL while holding the task registry");
}

}  // namespace
}  // namespace varnex
