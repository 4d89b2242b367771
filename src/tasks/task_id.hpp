// Task ids: one process-wide sequence shared by timers and background calls.
#pragma once

#include <atomic>
#include <cstdint>

namespace varnex {

// The next id to hand out. Starts at 1; an id is never reused. A plain atomic with a trivial
// destructor, so it stays usable by background threads until the process ends.
extern std::atomic<std::uint64_t> TASK_ID_COUNTER;

// Takes the next task id (1, 2, 3, ...). Whoever starts a timer or a background call takes one
// before it registers with the task manager.
std::uint64_t next_task_id();

}  // namespace varnex
