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

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "runtime/clock.hpp"
#include "tasks/shutdown_signal.hpp"
#include "tasks/task_manager.hpp"

namespace varnex {

// Run between the slices of the waits (at least every rt::kInterruptCheckPeriod) on the waiting
// thread: on a Python main thread, its pending signal handlers run there. True ends the wait (a
// handler raised). The check is given the wait's listeners, to tell a shutdown signal's own
// KeyboardInterrupt from another handler's exception. Empty: no checks.
using ShutdownCheck = std::function<bool(const ShutdownSignalOp& signals)>;

// Why a shutdown wait stopped everything: a shutdown signal (its number) or the end of the
// wait time.
struct StopReason {
  enum class Kind : std::uint8_t { Signal, Timeout };
  Kind kind = Kind::Timeout;
  int signal = 0;  // SIGINT or SIGTERM for Kind::Signal

  static StopReason by_signal(int signo) { return {Kind::Signal, signo}; }
  static StopReason timeout() { return {}; }
  bool operator==(const StopReason&) const = default;
};

// block_until's text for a reason: "signal:SIGINT", "signal:SIGTERM" or "timeout".
std::string reason_text(const StopReason& reason);

// One shutdown wait (block_all, block_until). Its listeners exist from create() on, so it sees
// only signals delivered from then.
class ShutdownWait {
 public:
  // Errors (kind Fatal): "Failed to register SIGINT handler: <error>" (then SIGTERM).
  static Result<ShutdownWait> create(TaskManager& registry = task_manager());

  struct Signalled {
    std::optional<int> signal;  // SIGINT or SIGTERM
    bool interrupted = false;   // the check ended the wait; nothing was stopped
  };
  // Blocks until SIGINT or SIGTERM, or until `deadline` (none: no limit) when neither came: then
  // neither field is set. The signal and the deadline are polled in random order each time.
  Signalled wait_for_signal(std::optional<rt::Instant> deadline, const ShutdownCheck& check = {});

  enum class Stopped : std::uint8_t { All, TimedOut, CutShort, Interrupted };
  // stop_all, then waits at most `limit` (none: no limit) for every entry to end and writes the
  // result line (report_stop_result). A SIGINT or SIGTERM that wait_for_signal did not report
  // cuts the wait short (CutShort, with the line above); so does the check, which ends it
  // Interrupted ("cut short by a signal handler").
  Stopped stop(std::optional<std::chrono::nanoseconds> limit, const ShutdownCheck& check = {});

 private:
  ShutdownWait(TaskManager& registry, ShutdownSignalOp signals)
      : registry_(registry), signals_(std::move(signals)) {}
  void cut_short(const std::string& by);

  TaskManager& registry_;
  ShutdownSignalOp signals_;
};

// What a shutdown wait is asked to do. block_all: no signal deadline, the "Received" line;
// block_until: its wait time as a deadline, the "Stopping" line.
struct ShutdownPlan {
  enum class Announce : std::uint8_t {
    Received,  // "\n[varnex] Received <signal>, initiating graceful shutdown...\n"
    Stopping,  // "\n[varnex] Stopping (reason: <reason_text>), initiating graceful shutdown...\n"
  };
  std::optional<rt::Instant> signal_deadline;          // none: wait for a signal only
  std::optional<std::chrono::nanoseconds> stop_limit;  // for wait_all; none: no limit
  Announce announce = Announce::Stopping;
};

// The caller's part of a shutdown wait, both run on the waiting thread.
struct ShutdownHooks {
  ShutdownCheck check;              // between the slices of both waits
  std::function<void()> on_signal;  // a signal ended the wait, before its line is written
};

struct ShutdownOutcome {
  bool interrupted = false;  // the check ended the signal wait: nothing was stopped
  StopReason reason;         // unless interrupted
  ShutdownWait::Stopped stopped = ShutdownWait::Stopped::All;

  // wait_all's answer: every entry ended.
  bool success() const { return stopped == ShutdownWait::Stopped::All; }
  // Whether the interpreter's pending signal is consumed once the wait has returned: after the
  // signal that started the stop, or one that cut it short; after a plain time-out whatever a
  // handler raised meanwhile surfaces.
  bool consumes_pending_signal() const {
    return reason.kind == StopReason::Kind::Signal || stopped == ShutdownWait::Stopped::CutShort;
  }
};

// The shutdown wait of block_all and block_until: waits for SIGINT or SIGTERM (or until the
// plan's deadline), calls hooks.on_signal after a signal, writes the plan's line, then the stop
// phase (ShutdownWait::stop). A listener that cannot be created fails the call (kind Fatal)
// with nothing written or stopped; on a thread that drives runtime tasks it throws the
// runtime's rt::FatalError, likewise before anything is stopped.
Result<ShutdownOutcome> run_shutdown(const ShutdownPlan& plan, const ShutdownHooks& hooks = {},
                                     TaskManager& registry = task_manager());

// Writes "\n[varnex] Received <signal>, initiating graceful shutdown...\n" (block_all) and
// "\n[varnex] Stopping (reason: <reason>), initiating graceful shutdown...\n" (block_until).
void announce_received(const std::string& signal);
void announce_stopping(const std::string& reason);

// Writes "[varnex] All tasks stopped successfully\n" when all_stopped, else
// "[varnex] Shutdown timed out, some tasks may still be running\n".
void report_stop_result(bool all_stopped);

}  // namespace varnex
