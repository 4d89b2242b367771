#include "tasks/shutdown.hpp"

#include <utility>
#include <variant>

#include "common/diagnostics.hpp"
#include "runtime/completion.hpp"
#include "runtime/fatal.hpp"
#include "runtime/poll.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "tasks/shutdown_signal.hpp"

namespace varnex {

namespace {

// The shutdown waits block the calling thread; on a thread that drives runtime tasks that would
// stall them, so it fails there as a blocking wait on the runtime does.
void check_may_block() {
  if (rt::this_thread_context().drives_tasks) throw rt::FatalError(rt::kBlockOnInRuntimeMessage);
  rt::Runtime::get();
}

// "signal:<name>" for the signal, or "timeout" at the end of wait_ms, whichever comes first
// (both are polled in random order each time). A limit too large for the clock means no limit.
Result<std::string> signal_or_timeout(std::optional<std::uint64_t> wait_ms) {
  check_may_block();
  const std::optional<rt::Instant> deadline =
      wait_ms ? rt::deadline_after_ms(*wait_ms) : std::nullopt;
  Result<ShutdownSignalOp> signal = ShutdownSignalOp::create();
  if (!signal) return std::move(signal).error();
  if (!deadline) return "signal:" + *rt::wait_op_until(signal.value(), std::nullopt).value;
  rt::SleepOp sleep(*deadline);
  rt::Select2 either(signal.value(), sleep);
  auto first = *rt::wait_op_until(either, std::nullopt).value;
  if (first.index() == 0) return "signal:" + std::get<0>(first);
  return std::string("timeout");
}

}  // namespace

Result<std::string> wait_for_signal_then_stop(TaskManager& registry) {
  check_may_block();
  Result<ShutdownSignalOp> listener = ShutdownSignalOp::create();
  if (!listener) return std::move(listener).error();
  std::string signal = *rt::wait_op_until(listener.value(), std::nullopt).value;
  write_stderr("\n[varnex] Received " + signal + ", initiating graceful shutdown...\n");
  registry.stop_all();
  return signal;
}

Result<ShutdownReport> stop_on_signal_or_timeout(std::optional<std::uint64_t> wait_ms,
                                                 std::optional<std::uint64_t> shutdown_timeout_ms,
                                                 TaskManager& registry) {
  Result<std::string> reason = signal_or_timeout(wait_ms);
  if (!reason) return std::move(reason).error();
  write_stderr("\n[varnex] Stopping (reason: " + reason.value() +
               "), initiating graceful shutdown...\n");
  registry.stop_all();
  const bool success = registry.wait_all(shutdown_timeout_ms);
  report_stop_result(success);
  return ShutdownReport{std::move(reason).value(), success};
}

void report_stop_result(bool all_stopped) {
  write_stderr(all_stopped ? "[varnex] All tasks stopped successfully\n"
                           : "[varnex] Shutdown timed out, some tasks may still be running\n");
}

bool reason_is_signal(const std::string& reason) {
  return reason.size() >= 7 && reason.compare(0, 7, "signal:") == 0;
}

}  // namespace varnex
