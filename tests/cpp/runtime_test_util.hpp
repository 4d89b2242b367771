// Helpers shared by the runtime's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "runtime/diagnostics.hpp"
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

// gtest's capture of fd 2 for lines that reach it through the diagnostic queue's writer: the
// capture starts once what was queued before is written, and ends once what was queued during
// it is.
inline void capture_stderr() {
  varnex::flush_stderr();
  ::testing::internal::CaptureStderr();
}
inline std::string captured_stderr() {
  varnex::flush_stderr();
  return ::testing::internal::GetCapturedStderr();
}

}  // namespace varnex::rt::testing
