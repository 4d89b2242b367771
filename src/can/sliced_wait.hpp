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

template <class T>
struct SlicedWait {
  std::optional<T> value;    // the op's output, when it completed
  bool interrupted = false;  // the check ended the wait first
};

// rt::wait_op_until, handing a worker's place over for the wait (block_in_place). Neither set
// in the result: the deadline passed.
template <class Op>
SlicedWait<rt::OpOutput<Op>> wait_sliced(Op& op, std::optional<rt::Instant> deadline,
                                         const InterruptCheck& interrupted) {
  rt::OpWait<rt::OpOutput<Op>> got =
      rt::block_in_place([&] { return rt::wait_op_until(op, deadline, interrupted); });
  return {std::move(got.value), got.end == rt::WaitEnd::Interrupted};
}

}  // namespace varnex
