#include "tasks/shutdown.hpp"

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
    rt::OpWait<std::string> got = rt::wait_op_until(signals_, std::nullopt, interrupted);
    return {std::move(got.value), got.end == rt::WaitEnd::Interrupted};
  }
  rt::SleepOp sleep(*deadline);
  rt::Select2 either(signals_, sleep);
  auto got = rt::wait_op_until(either, std::nullopt, interrupted);
  if (!got.value) return {std::nullopt, true};
  if (got.value->index() == 0) return {std::get<0>(std::move(*got.value)), false};
  return {};
}

ShutdownWait::Stopped ShutdownWait::stop(std::optional<std::uint64_t> limit,
                                         const ShutdownCheck& check) {
  registry_.stop_all();
  // The wait for the entries is cut into slices, between which a new signal is looked for (as
  // Ctrl+C is in every other wait of the module): the listeners report a delivery through the
  // runtime, while the entries' ends are events of their own.
  const WaitOutcome outcome = registry_.wait_all(limit, [this, &check] {
    return signals_.arrived() || (check && check(signals_));
  });
  switch (outcome) {
    case WaitOutcome::AllStopped:
      report_stop_result(true);
      return Stopped::All;
    case WaitOutcome::TimedOut:
      report_stop_result(false);
      return Stopped::TimedOut;
    case WaitOutcome::Interrupted:
      break;
  }
  if (std::optional<std::string> second = signals_.arrived()) {
    cut_short(*second);
    return Stopped::CutShort;
  }
  cut_short("a signal handler");
  return Stopped::Interrupted;
}

void ShutdownWait::cut_short(const std::string& by) {
  write_stderr(DiagnosticLevel::Warning, "[varnex] Shutdown cut short by " + by +
               "; still running: " + describe_running(registry_.running_entries()) + "\n");
}

Result<std::string> wait_for_signal_then_stop(TaskManager& registry) {
  Result<ShutdownWait> wait = ShutdownWait::create(registry);
  if (!wait) return std::move(wait).error();
  std::string signal = *wait->wait_for_signal(std::nullopt).signal;
  announce_received(signal);
  registry.stop_all();
  return signal;
}

Result<ShutdownReport> stop_on_signal_or_timeout(std::optional<std::uint64_t> wait_ms,
                                                 std::optional<std::uint64_t> shutdown_timeout_ms,
                                                 TaskManager& registry) {
  Result<ShutdownWait> wait = ShutdownWait::create(registry);
  if (!wait) return std::move(wait).error();
  ShutdownWait::Signalled signalled = wait->wait_for_signal(shutdown_deadline(wait_ms));
  std::string reason = signalled.signal ? "signal:" + *signalled.signal : "timeout";
  announce_stopping(reason);
  const bool success = wait->stop(shutdown_timeout_ms) == ShutdownWait::Stopped::All;
  return ShutdownReport{std::move(reason), success};
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

bool reason_is_signal(const std::string& reason) {
  return reason.size() >= 7 && reason.compare(0, 7, "signal:") == 0;
}

std::optional<rt::Instant> shutdown_deadline(std::optional<std::uint64_t> wait_ms) {
  // A limit too large for the clock means no limit.
  return wait_ms ? rt::deadline_after_ms(*wait_ms) : std::nullopt;
}

}  // namespace varnex
