// Waiting for an op on the calling thread in slices, so that a long wait can be ended from
// outside: between slices the caller's check runs (for a Python main thread, whether a signal
// handler raised). The op stays alive across slices, so it keeps its place (a queued lock
// request stays queued) and nothing it would have taken is lost: a slice that runs out has
// consumed nothing.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "runtime/poll.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

// True ends the wait. Called on the waiting thread, outside the runtime's tasks.
using InterruptCheck = std::function<bool()>;

// The longest stretch between two interrupt checks.
inline constexpr std::chrono::milliseconds kInterruptCheckPeriod{100};

template <class T>
struct SlicedWait {
  std::optional<T> value;    // the op's output, when it completed
  bool interrupted = false;  // the check ended the wait first
};

namespace detail {

// Stores the output through a reference so that move-only outputs (lock guards) work too.
template <class Op>
rt::Task<void> wait_into(Op& op, std::optional<rt::Instant> until,
                         std::optional<rt::OpOutput<Op>>& out) {
  out = co_await rt::timeout(until, op);
}

}  // namespace detail

// Waits for `op` until `deadline` (none: no limit) with block_in_place around block_on. With an
// empty `interrupted` this is one plain wait; otherwise `interrupted` runs at least every
// kInterruptCheckPeriod. Neither set in the result: the deadline passed.
template <class Op>
SlicedWait<rt::OpOutput<Op>> wait_sliced(Op& op, std::optional<rt::Instant> deadline,
                                         const InterruptCheck& interrupted) {
  for (;;) {
    std::optional<rt::Instant> slice_end = deadline;
    if (interrupted) {
      const rt::Instant next_check = rt::Clock::now() + kInterruptCheckPeriod;
      if (!slice_end || next_check < *slice_end) slice_end = next_check;
    }
    std::optional<rt::OpOutput<Op>> out;
    rt::block_in_place([&] { rt::block_on(detail::wait_into(op, slice_end, out)); });
    if (out) return {std::move(out), false};
    if (!interrupted || (deadline && rt::Clock::now() >= *deadline)) return {};
    if (interrupted()) return {std::nullopt, true};
  }
}

}  // namespace varnex
