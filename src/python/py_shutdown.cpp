// The module functions block_all and block_until: wait for SIGINT, SIGTERM or a time limit with
// the GIL released, then stop every timer and background call. (shutdown_all lives with
// TaskManager, whose shutdown it is.)
#include <chrono>
#include <optional>
#include <utility>

#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/values.hpp"
#include "runtime/clock.hpp"
#include "runtime/diagnostics.hpp"
#include "tasks/shutdown.hpp"
#include "tasks/shutdown_signal.hpp"

namespace varnex::py {

namespace {

// The signal that ended the wait also reached the interpreter's own handler (for SIGINT a
// pending KeyboardInterrupt): handle it now and drop what it raises, so that nothing surfaces
// after a handled Ctrl+C. Only the main thread runs Python signal handlers; elsewhere this does
// nothing.
void consume_pending_signal() {
  if (PyErr_CheckSignals() < 0) PyErr_Clear();
}

// The checks of a shutdown wait on the main thread: the program's other signal handlers run
// during the wait (a periodic SIGALRM keeps ticking), and one that raises ends the wait with its
// exception. A SIGINT or SIGTERM the wait itself is about to report is not such an exception:
// what its Python handler raised (KeyboardInterrupt) is dropped, as it is once the wait reports
// the signal, before the stop phase.
class PythonSignalChecks {
 public:
  explicit PythonSignalChecks(GilRelease& released) : released_(released) {}

  ShutdownCheck check() {
    if (!on_main_thread()) return {};
    return [this](const ShutdownSignalOp& signals) {
      return released_.with_gil([&signals] {
        if (PyErr_CheckSignals() == 0) return false;
        if (!signals.arrived()) return true;  // the handler's exception stays set
        PyErr_Clear();
        return false;
      });
    };
  }

 private:
  GilRelease& released_;
};

// The shutdown wait with the GIL released; its outcome, with the GIL held again. A wait ended
// by a raising handler (before or during the stop) raises its exception; otherwise the
// interpreter's pending signal is consumed when the outcome says so.
ShutdownOutcome shutdown_without_gil(const ShutdownPlan& plan) {
  Result<ShutdownOutcome> got = without_gil([&plan](GilRelease& released) {
    PythonSignalChecks checks(released);
    // The signal's own KeyboardInterrupt, before the line is written.
    const ShutdownHooks hooks{checks.check(),
                              [&released] { released.with_gil(consume_pending_signal); }};
    Result<ShutdownOutcome> outcome = run_shutdown(plan, hooks);
    // The lines printed for the caller are written (within a bound) before the call returns, so
    // that they keep their place among what the program writes to sys.stderr after it.
    flush_stderr();
    return outcome;
  });
  ShutdownOutcome outcome = unwrap(std::move(got));
  if (outcome.interrupted || outcome.stopped == ShutdownWait::Stopped::Interrupted) {
    throw PyErrOccurred{};
  }
  if (outcome.consumes_pending_signal()) consume_pending_signal();
  return outcome;
}

constexpr Signature kBlockAll{"block_all", 0, {"timeout_ms"}};
PyRef block_all(PyObject*, const CallArgs& args) {
  auto [timeout_ms] = bind(kBlockAll, args);
  const ShutdownPlan plan{std::nullopt, to_optional_limit_from_millis(timeout_ms, "timeout_ms"),
                          ShutdownPlan::Announce::Received};
  const ShutdownOutcome outcome = shutdown_without_gil(plan);
  return py_str(shutdown_signal_name(outcome.reason.signal));
}

constexpr Signature kBlockUntil{"block_until", 0, {"wait_ms", "shutdown_timeout_ms"}};
PyRef block_until(PyObject*, const CallArgs& args) {
  auto [wait_ms, shutdown_timeout_ms] = bind(kBlockUntil, args);
  const std::optional<std::chrono::nanoseconds> wait_limit =
      to_optional_limit_from_millis(wait_ms, "wait_ms");
  const std::optional<std::chrono::nanoseconds> stop_limit =
      to_optional_limit_from_millis(shutdown_timeout_ms, "shutdown_timeout_ms");
  // The wait time counts from here; a limit too large for the clock means no limit.
  const ShutdownPlan plan{wait_limit ? rt::deadline_after(*wait_limit) : std::nullopt, stop_limit,
                          ShutdownPlan::Announce::Stopping};
  const ShutdownOutcome outcome = shutdown_without_gil(plan);
  return py_tuple(py_str(reason_text(outcome.reason)), py_bool(outcome.success()));
}

}  // namespace

PyMethodDef block_all_function = function<block_all>(
    "block_all",
    doc<"block_all(timeout_ms=None)\n--\n\n"
        "阻塞当前线程，直到收到系统退出信号（SIGINT/Ctrl+C 或 SIGTERM），然后执行优雅关闭。",
        "block_all">());

PyMethodDef block_until_function = function<block_until>(
    "block_until", doc<"block_until(wait_ms=None, shutdown_timeout_ms=None)\n--\n\n"
                       "阻塞直到收到退出信号或等待时间已到，两种情况下都执行优雅关闭。",
                       "block_until">());

}  // namespace varnex::py
