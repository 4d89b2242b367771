#include "tasks/call_handle.hpp"

#include <string>

#include "runtime/diagnostics.hpp"

namespace varnex {

CallHandle::~CallHandle() {
  if (!call_) return;
  if (!adopted_) {
    registry_->unregister_task(call_->task_id());
    return;
  }
  if (!call_->is_completed() && !call_->is_cancelled()) {
    write_stderr(DiagnosticLevel::Warning,
                 "Warning: AsyncHandle(id=" + std::to_string(call_->task_id()) +
                     ") dropped while task still running. Consider calling handle.cancel() or "
                     "handle.wait() before dropping.\n",
                 {{"task_id", call_->task_id()}});
  }
  registry_->release_task(call_->task_id());
}

}  // namespace varnex
