#include "tasks/task_id.hpp"

namespace varnex {

constinit std::atomic<std::uint64_t> TASK_ID_COUNTER{1};

std::uint64_t next_task_id() {
  // Only uniqueness matters; no other memory is published through the counter.
  return TASK_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace varnex
