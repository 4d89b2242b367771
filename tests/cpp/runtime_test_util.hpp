// Helpers shared by the runtime's unit tests.
#pragma once

#include <chrono>
#include <memory>

#include "runtime/runtime.hpp"
#include "runtime/waker.hpp"

namespace varnex::rt::testing {

// An executor that only counts wake-ups, for polling ops by hand in a fixed order.
class CountingExecutor final : public Executor {
 public:
  void schedule(Job) override { ++wakes; }
  int wakes = 0;
};

inline Waker manual_waker(CountingExecutor& executor) {
  auto waker = std::make_shared<WakeTarget>(&executor, Job{});
  waker->arm();
  return waker;
}

}  // namespace varnex::rt::testing
