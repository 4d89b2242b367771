#include "tasks/shutdown.hpp"

#include <utility>
#include <variant>

#include "common/diagnostics.hpp"
#include "runtime/poll.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"
#include "tasks/shutdown_signal.hpp"

namespace varnex {

namespace {

// The signal, or the end of wait_ms, whichever comes first. A limit too large for the clock
// means no limit.
rt::Task<Result<std::string>> signal_or_timeout(std::optional<std::uint64_t> wait_ms) {
  const std::optional<rt::Instant> deadline =
      wait_ms ? rt::deadline_after_ms(*wait_ms) : std::nullopt;
  Result<ShutdownSignalOp> signal = ShutdownSignalOp::create();
  if (!signal) co_return std::move(signal).error();
  if (!deadline) co_return "signal:" + co_await rt::wait(signal.value());
  rt::SleepOp sleep(*deadline);
  rt::Select2 either(signal.value(), sleep);
  auto first = co_await rt::wait(either);
  if (first.index() == 0) co_return "signal:" + std::get<0>(first);
  co_return std::string("timeout");
}

}  // namespace

Result<std::string> wait_for_signal_then_stop(TaskManager& registry) {
  Result<std::string> signal = rt::block_on(wait_for_shutdown_signal());
  if (!signal) return signal;
  write_stderr("\n[varnex] Received " + signal.value() + ", initiating graceful shutdown...\n");
  registry.stop_all();
  return signal;
}

Result<ShutdownReport> stop_on_signal_or_timeout(std::optional<std::uint64_t> wait_ms,
                                                 std::optional<std::uint64_t> shutdown_timeout_ms,
                                                 TaskManager& registry) {
  Result<std::string> reason = rt::block_on(signal_or_timeout(wait_ms));
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
