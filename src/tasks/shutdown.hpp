// Signal-driven shutdown: wait for SIGINT, SIGTERM or a time limit, then stop every registered
// timer and background call (stop_all, then wait_all) and report on standard error.
//
// The waits block the calling thread (rt::wait_op_until): a thread that drives runtime tasks gets
// the runtime's rt::FatalError before anything is stopped. Blocking-pool threads, which run the
// background calls, may wait here. Callers release the interpreter lock around these calls.
//
// The stop phase ends early when a second SIGINT or SIGTERM arrives (a call that never returns
// must not make the program unkillable): the wait ends at once with the line
//   "[varnex] Shutdown cut short by <signal>; still running: <what>\n"
// naming the timers and background calls that had not ended.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/clock.hpp"
#include "tasks/shutdown_signal.hpp"
#include "tasks/task_registry.hpp"

namespace varnex {

// Run between the slices of the waits (at least every rt::kInterruptCheckPeriod) on the waiting
// thread: on a Python main thread, its pending signal handlers run there. True ends the wait (a
// handler raised). The check is given the wait's listeners, to tell a shutdown signal's own
// KeyboardInterrupt from another handler's exception. Empty: no checks.
using ShutdownCheck = std::function<bool(const ShutdownSignalOp& signals)>;

// One shutdown wait (block_all, block_until). Its listeners exist from create() on, so it sees
// only signals delivered from then.
class ShutdownWait {
 public:
  // Errors (kind Fatal): "Failed to register SIGINT handler: <error>" (then SIGTERM).
  static Result<ShutdownWait> create(TaskManager& registry = task_manager());

  struct Signalled {
    std::optional<std::string> signal;  // "SIGINT" or "SIGTERM"
    bool interrupted = false;           // the check ended the wait; nothing was stopped
  };
  // Blocks until SIGINT or SIGTERM, or until `deadline` (none: no limit) when neither came: then
  // neither field is set. The signal and the deadline are polled in random order each time.
  Signalled wait_for_signal(std::optional<rt::Instant> deadline, const ShutdownCheck& check = {});

  enum class Stopped : std::uint8_t { All, TimedOut, CutShort, Interrupted };
  // stop_all, then waits at most `limit` (none: no limit) for every entry to end and writes the
  // result line (report_stop_result). A SIGINT or SIGTERM that wait_for_signal did not report
  // cuts the wait short (CutShort, with the line above); so does the check, which ends it
  // Interrupted ("cut short by a signal handler").
  Stopped stop(std::optional<std::uint64_t> limit, const ShutdownCheck& check = {});

 private:
  ShutdownWait(TaskManager& registry, ShutdownSignalOp signals)
      : registry_(registry), signals_(std::move(signals)) {}
  void cut_short(const std::string& by);

  TaskManager& registry_;
  ShutdownSignalOp signals_;
};

// The wait of block_all, without the interpreter's part: blocks until the next SIGINT or
// SIGTERM, writes "\n[varnex] Received <name>, initiating graceful shutdown...\n", calls
// stop_all and returns the signal's name. A listener that cannot be created fails the call
// (kind Fatal) with nothing written or stopped.
Result<std::string> wait_for_signal_then_stop(TaskManager& registry = task_manager());

struct ShutdownReport {
  std::string reason;  // "signal:SIGINT", "signal:SIGTERM" or "timeout"
  bool success;        // what wait_all returned
};

// block_until without the interpreter's part: waits for SIGINT or SIGTERM, or at most wait_ms
// when given, writes "\n[varnex] Stopping (reason: <reason>), initiating graceful shutdown...\n",
// then the stop phase (ShutdownWait::stop, success only when everything ended). Fails like
// wait_for_signal_then_stop.
Result<ShutdownReport> stop_on_signal_or_timeout(std::optional<std::uint64_t> wait_ms,
                                                 std::optional<std::uint64_t> shutdown_timeout_ms,
                                                 TaskManager& registry = task_manager());

// Writes "\n[varnex] Received <signal>, initiating graceful shutdown...\n" (block_all) and
// "\n[varnex] Stopping (reason: <reason>), initiating graceful shutdown...\n" (block_until).
void announce_received(const std::string& signal);
void announce_stopping(const std::string& reason);

// Writes "[varnex] All tasks stopped successfully\n" when all_stopped, else
// "[varnex] Shutdown timed out, some tasks may still be running\n".
void report_stop_result(bool all_stopped);

// True for a reason that block_until reports after a signal ("signal:..."), after which the
// interpreter's pending signal is consumed.
bool reason_is_signal(const std::string& reason);

// A wait limit in milliseconds as a deadline from now (none: no limit).
std::optional<rt::Instant> shutdown_deadline(std::optional<std::uint64_t> wait_ms);

}  // namespace varnex
