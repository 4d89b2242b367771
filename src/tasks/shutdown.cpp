#include "tasks/shutdown.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "runtime/completion.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/fatal.hpp"
#include "runtime/poll.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace varnex {

namespace {

// The shutdown waits block the calling thread; on a thread that drives runtime tasks that would
// stall them, so it fails there as a blocking wait on the runtime does.
void check_may_block() {
  if (rt::this_thread_context().drives_tasks) throw rt::FatalError(rt::kBlockOnInRuntimeMessage);
  rt::Runtime::get();
}

// The wait's deadline as an op whose output is an int (0), like the signal op's: Select2 then
// holds a variant of two ints. With an empty output on one side g++ 12 warns that the int may be
// used uninitialized (-Wmaybe-uninitialized, a false positive), which -Werror builds refuse.
class DeadlineOp {
 public:
  using Output = int;
  explicit DeadlineOp(rt::Instant deadline) : sleep_(deadline) {}
  std::optional<int> poll(const rt::Waker& waker) {
    if (sleep_.poll(waker)) return 0;
    return std::nullopt;
  }

 private:
  rt::SleepOp sleep_;
};

}  // namespace

Result<ShutdownWait> ShutdownWait::create(TaskManager& registry) {
  check_may_block();
  Result<ShutdownSignalOp> signals = ShutdownSignalOp::create();
  if (!signals) return std::move(signals).error();
  return ShutdownWait(registry, std::move(signals).value());
}

ShutdownWait::Signalled ShutdownWait::wait_for_signal(std::optional<rt::Instant> deadline,
                                                      const ShutdownCheck& check) {
  rt::InterruptCheck interrupted;
  if (check) interrupted = [this, &check] { return check(signals_); };
  if (!deadline) {
    rt::OpWait<int> got = rt::wait_op_until(signals_, std::nullopt, interrupted);
    return {got.value, got.end == rt::WaitEnd::Interrupted};
  }
  DeadlineOp sleep(*deadline);
  rt::Select2 either(signals_, sleep);
  auto got = rt::wait_op_until(either, std::nullopt, interrupted);
  if (!got.value) return {std::nullopt, true};
  if (got.value->index() == 0) return {std::get<0>(*got.value), false};
  return {};
}

ShutdownWait::Stopped ShutdownWait::stop(std::optional<std::chrono::nanoseconds> limit,
                                         const ShutdownCheck& check) {
  registry_.stop_all();
  // The wait for the entries is cut into slices, between which a new signal is looked for (as
  // Ctrl+C is in every other wait of the module): the listeners report a delivery through the
  // runtime, while the entries' ends are events of their own.
  // A check that says stop has left its handler's exception for the caller to raise: that
  // outcome stands even when a signal arrives after it, before the look below.
  bool by_check = false;
  const rt::WaitEnd end = registry_.wait_all(limit, [this, &check, &by_check] {
    if (signals_.arrived()) return true;
    by_check = check && check(signals_);
    return by_check;
  });
  switch (end) {
    case rt::WaitEnd::Done:
      report_stop_result(true);
      return Stopped::All;
    case rt::WaitEnd::TimedOut:
      report_stop_result(false);
      return Stopped::TimedOut;
    case rt::WaitEnd::Interrupted:
      break;
  }
  if (std::optional<int> second = signals_.arrived(); second && !by_check) {
    cut_short(shutdown_signal_name(*second));
    return Stopped::CutShort;
  }
  cut_short("a signal handler");
  return Stopped::Interrupted;
}

void ShutdownWait::cut_short(const std::string& by) {
  write_stderr(DiagnosticLevel::Warning,
               "[varnex] Shutdown cut short by " + by +
                   "; still running: " + describe_running(registry_.running_entries()) + "\n");
}

std::string reason_text(const StopReason& reason) {
  if (reason.kind == StopReason::Kind::Timeout) return "timeout";
  return "signal:" + shutdown_signal_name(reason.signal);
}

Result<ShutdownOutcome> run_shutdown(const ShutdownPlan& plan, const ShutdownHooks& hooks,
                                     TaskManager& registry) {
  Result<ShutdownWait> wait = ShutdownWait::create(registry);
  if (!wait) return std::move(wait).error();
  const ShutdownWait::Signalled signalled =
      wait->wait_for_signal(plan.signal_deadline, hooks.check);
  ShutdownOutcome outcome;
  if (signalled.interrupted) {
    outcome.interrupted = true;
    return outcome;
  }
  outcome.reason =
      signalled.signal ? StopReason::by_signal(*signalled.signal) : StopReason::timeout();
  if (signalled.signal && hooks.on_signal) hooks.on_signal();
  if (plan.announce == ShutdownPlan::Announce::Received) {
    // Without a deadline only a signal ends the wait.
    announce_received(shutdown_signal_name(outcome.reason.signal));
  } else {
    announce_stopping(reason_text(outcome.reason));
  }
  outcome.stopped = wait->stop(plan.stop_limit, hooks.check);
  return outcome;
}

void announce_received(const std::string& signal) {
  write_stderr(DiagnosticLevel::Info,
               "\n[varnex] Received " + signal + ", initiating graceful shutdown...\n");
}

void announce_stopping(const std::string& reason) {
  write_stderr(DiagnosticLevel::Info,
               "\n[varnex] Stopping (reason: " + reason + "), initiating graceful shutdown...\n");
}

void report_stop_result(bool all_stopped) {
  if (all_stopped) {
    write_stderr(DiagnosticLevel::Info, "[varnex] All tasks stopped successfully\n");
  } else {
    write_stderr(DiagnosticLevel::Warning,
                 "[varnex] Shutdown timed out, some tasks may still be running\n");
  }
}

}  // namespace varnex
