// Waiting for an op on the calling thread so that a long wait can be ended from outside:
// between slices the caller's check runs (for a Python main thread, whether a signal handler
// raised). The op stays alive across slices, so it keeps its place (a queued lock request stays
// queued) and nothing it would have taken is lost: a wait that ends without a value has
// consumed nothing.
#pragma once

#include <optional>
#include <utility>

#include "runtime/completion.hpp"
#include "runtime/runtime.hpp"

namespace varnex {

using rt::InterruptCheck;

// rt::wait_op_until, handing a worker's place over for the wait (block_in_place). Its result
// is the module's one wait outcome, rt::OpWait: the value with WaitEnd::Done, else how the wait
// ended (TimedOut: the deadline passed; Interrupted: the check ended it first).
template <class Op>
rt::OpWait<rt::OpOutput<Op>> wait_sliced(Op& op, std::optional<rt::Instant> deadline,
                                         const InterruptCheck& interrupted) {
  return rt::block_in_place([&] { return rt::wait_op_until(op, deadline, interrupted); });
}

}  // namespace varnex
