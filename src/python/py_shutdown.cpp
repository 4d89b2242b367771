// The module functions block_all and block_until: wait for SIGINT, SIGTERM or a time limit with
// the GIL released, then stop every timer and background call. (shutdown_all lives with
// TaskManager, whose shutdown it is.)
#include <optional>
#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/values.hpp"
#include "runtime/diagnostics.hpp"
#include "tasks/shutdown.hpp"

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

// The stop phase's outcome, with the GIL held again: true when everything ended. A stop phase
// cut short by a raising handler raises its exception.
bool after_stop(ShutdownWait::Stopped stopped) {
  if (stopped == ShutdownWait::Stopped::Interrupted) throw PyErrOccurred{};
  return stopped == ShutdownWait::Stopped::All;
}

constexpr Signature kBlockAll{"block_all", 0, {"timeout_ms"}};
PyRef block_all(PyObject*, const CallArgs& args) {
  auto [timeout_ms] = bind(kBlockAll, args);
  const std::optional<std::uint64_t> limit = to_optional_millis(timeout_ms, "timeout_ms");
  ShutdownWait wait = unwrap(ShutdownWait::create());
  ShutdownWait::Signalled signalled;
  ShutdownWait::Stopped stopped = ShutdownWait::Stopped::All;
  {
    GilRelease released;
    PythonSignalChecks checks(released);
    signalled = wait.wait_for_signal(std::nullopt, checks.check());
    if (!signalled.interrupted) {  // else nothing was stopped; the handler's exception is raised
      released.with_gil(consume_pending_signal);  // the signal's own KeyboardInterrupt
      announce_received(*signalled.signal);
      stopped = wait.stop(limit, checks.check());
    }
    flush_stderr();  // see block_until
  }
  if (signalled.interrupted) throw PyErrOccurred{};
  after_stop(stopped);
  consume_pending_signal();
  return py_str(*signalled.signal);
}

constexpr Signature kBlockUntil{"block_until", 0, {"wait_ms", "shutdown_timeout_ms"}};
PyRef block_until(PyObject*, const CallArgs& args) {
  auto [wait_ms, shutdown_timeout_ms] = bind(kBlockUntil, args);
  const std::optional<std::uint64_t> wait_limit = to_optional_millis(wait_ms, "wait_ms");
  const std::optional<std::uint64_t> shutdown_timeout =
      to_optional_millis(shutdown_timeout_ms, "shutdown_timeout_ms");
  ShutdownWait wait = unwrap(ShutdownWait::create());
  ShutdownWait::Signalled signalled;
  ShutdownWait::Stopped stopped = ShutdownWait::Stopped::All;
  std::string reason;
  {
    GilRelease released;
    PythonSignalChecks checks(released);
    signalled = wait.wait_for_signal(shutdown_deadline(wait_limit), checks.check());
    if (!signalled.interrupted) {
      reason = signalled.signal ? "signal:" + *signalled.signal : "timeout";
      if (signalled.signal) released.with_gil(consume_pending_signal);
      announce_stopping(reason);
      stopped = wait.stop(shutdown_timeout, checks.check());
    }
    // The lines printed for the caller are written (within a bound) before the call returns, so
    // that they keep their place among what the program writes to sys.stderr after it.
    flush_stderr();
  }
  if (signalled.interrupted) throw PyErrOccurred{};
  const bool success = after_stop(stopped);
  // After a signal (the one that started the stop, or one that cut it short) its KeyboardInterrupt
  // is dropped; after a plain time-out whatever a handler raises meanwhile surfaces.
  if (reason_is_signal(reason) || stopped == ShutdownWait::Stopped::CutShort) {
    consume_pending_signal();
  }
  return py_tuple(py_str(reason), py_bool(success));
}

}  // namespace

PyMethodDef block_all_function = function<block_all>(
    "block_all",
    doc<"block_all(timeout_ms=None)\n--\n\n"
        "阻塞当前线程，直到收到系统退出信号（SIGINT/Ctrl+C 或 SIGTERM），然后执行优雅关闭。",
        "block_all">());

PyMethodDef block_until_function = function<block_until>(
    "block_until",
    doc<"block_until(wait_ms=None, shutdown_timeout_ms=None)\n--\n\n"
        "阻塞直到收到退出信号或等待时间已到，两种情况下都执行优雅关闭。",
        "block_until">());

}  // namespace varnex::py
