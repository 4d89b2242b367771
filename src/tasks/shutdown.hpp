// Signal-driven shutdown: wait for SIGINT, SIGTERM or a time limit, then stop every registered
// timer and background call (stop_all, then wait_all) and report on standard error.
//
// The waits block the calling thread (rt::wait_op_until): a thread that drives runtime tasks gets
// the runtime's rt::FatalError before anything is stopped. Blocking-pool threads, which run the
// background calls, may wait here. Callers release the interpreter lock around these calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "tasks/task_registry.hpp"

namespace varnex {

// The wait of block_all: blocks until the next SIGINT or SIGTERM, writes
// "\n[varnex] Received <name>, initiating graceful shutdown...\n", calls stop_all and returns
// the signal's name. A listener that cannot be created fails the call (kind Fatal) with nothing
// written or stopped.
Result<std::string> wait_for_signal_then_stop(TaskManager& registry = task_manager());

struct ShutdownReport {
  std::string reason;  // "signal:SIGINT", "signal:SIGTERM" or "timeout"
  bool success;        // what wait_all returned
};

// block_until without the interpreter's part: waits for SIGINT or SIGTERM, or at most wait_ms
// when given (the signal and the time limit are polled in random order each time), writes
// "\n[varnex] Stopping (reason: <reason>), initiating graceful shutdown...\n", then stop_all,
// wait_all(shutdown_timeout_ms) and the result line (report_stop_result). Fails like
// wait_for_signal_then_stop.
Result<ShutdownReport> stop_on_signal_or_timeout(std::optional<std::uint64_t> wait_ms,
                                                 std::optional<std::uint64_t> shutdown_timeout_ms,
                                                 TaskManager& registry = task_manager());

// Writes "[varnex] All tasks stopped successfully\n" when all_stopped, else
// "[varnex] Shutdown timed out, some tasks may still be running\n".
void report_stop_result(bool all_stopped);

// True for a reason that block_until reports after a signal ("signal:..."), after which the
// interpreter's pending signal is consumed.
bool reason_is_signal(const std::string& reason);

}  // namespace varnex
