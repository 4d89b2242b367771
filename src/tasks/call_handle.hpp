// The handle of a background call as its user holds it, and what becomes of its registry entry
// when it goes. The call itself is never stopped by its handle: it runs to its end.
//
// Lifecycle, as for timer handles (timer_handle.hpp):
//   started  not yet adopted: dropping it is the rollback of a start that failed after the
//            registration; the entry is removed at once, silently.
//   adopted  adopt(): dropping it prints
//              "Warning: AsyncHandle(id=<id>) dropped while task still running. Consider calling
//               handle.cancel() or handle.wait() before dropping."
//            when the call has neither completed nor been cancelled, and releases the entry,
//            which leaves once the call has ended. Its outcome becomes unreachable.
// A moved-from handle does nothing when dropped.
#pragma once

#include <memory>

#include "tasks/background_call.hpp"
#include "tasks/task_manager.hpp"

namespace varnex {

class CallHandle {
 public:
  explicit CallHandle(std::shared_ptr<BackgroundCall> call, TaskManager& registry = task_manager())
      : call_(std::move(call)), registry_(&registry) {}
  CallHandle(CallHandle&& other) noexcept
      : call_(std::move(other.call_)), registry_(other.registry_), adopted_(other.adopted_) {}
  CallHandle(const CallHandle&) = delete;
  CallHandle& operator=(const CallHandle&) = delete;
  CallHandle& operator=(CallHandle&&) = delete;
  ~CallHandle();

  void adopt() noexcept { adopted_ = true; }

  BackgroundCall& call() const noexcept { return *call_; }

 private:
  std::shared_ptr<BackgroundCall> call_;  // null once moved from
  TaskManager* registry_;
  bool adopted_ = false;
};

}  // namespace varnex
