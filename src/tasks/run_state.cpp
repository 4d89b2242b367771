#include "tasks/run_state.hpp"

namespace varnex {

thread_local const RunState* RunState::current_ = nullptr;

void RunState::request_stop() noexcept {
  const std::uint8_t before = bits_.fetch_or(kStop, std::memory_order_acq_rel);
  // Outside a call a timer has nothing left to run; inside one, end_call() sees the stop.
  if (kind_ == Kind::Timer && (before & kInCall) == 0) ended_.set();
  if ((before & kStop) == 0) stopped_.set();
}

bool RunState::begin_call() noexcept {
  std::uint8_t bits = bits_.load(std::memory_order_acquire);
  do {
    if ((bits & kStop) != 0) return false;
  } while (!bits_.compare_exchange_weak(bits, bits | kInCall, std::memory_order_acq_rel));
  return true;
}

void RunState::end_call() noexcept {
  const std::uint8_t before = bits_.fetch_and(static_cast<std::uint8_t>(~kInCall),
                                              std::memory_order_acq_rel);
  if (kind_ == Kind::Timer && (before & kStop) != 0) ended_.set();
}

}  // namespace varnex
