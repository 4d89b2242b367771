#include "tasks/run_state.hpp"

namespace varnex {

thread_local const RunState* RunState::current_ = nullptr;

namespace {
// Made when the module is loaded (a function-local static's guard could be held by a parent
// thread at a fork); never destroyed: waits may use it at exit.
const rt::Completion* const g_already_ended = [] {
  auto* completion = new rt::Completion;
  completion->set();
  return completion;
}();
}  // namespace

const rt::Completion& RunState::already_ended() noexcept { return *g_already_ended; }

void RunState::request_stop() noexcept {
  if (born_.inherited()) return;  // its loop is in the parent; its locks may be held there
  const std::uint8_t before = bits_.fetch_or(kStop, std::memory_order_acq_rel);
  // Outside a call a timer has nothing left to run; inside one, end_call() sees the stop.
  if (kind_ == Kind::Timer && (before & kInCall) == 0) ended_.set();
  if ((before & kStop) == 0) stopped_.set();
}

bool RunState::begin_call() noexcept {
  // A timer thread or pool thread that forked inside a call goes on in the child: it ends there.
  if (born_.inherited()) return false;
  std::uint8_t bits = bits_.load(std::memory_order_acquire);
  do {
    if ((bits & kStop) != 0) return false;
  } while (!bits_.compare_exchange_weak(bits, bits | kInCall, std::memory_order_acq_rel));
  return true;
}

void RunState::end_call() noexcept {
  const std::uint8_t before =
      bits_.fetch_and(static_cast<std::uint8_t>(~kInCall), std::memory_order_acq_rel);
  if (kind_ == Kind::Timer && (before & kStop) != 0) ended_.set();
}

}  // namespace varnex
