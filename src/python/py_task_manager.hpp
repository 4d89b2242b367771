// The Python class TaskManager (a view of the process-wide task registry), get_task_manager()
// and shutdown_all(), and the GIL-free wait they share with the other shutdown functions.
#pragma once

#include <chrono>
#include <optional>

namespace varnex::py {

// Runs task_manager().wait_all(limit) with the GIL released, after task_manager().stop_all()
// when stop_first. Returns true when nothing runs any more, false on time-out.
// Called on the main thread, it lets the interpreter handle pending signals after every 10 ms
// poll (taking the GIL just for that); when a Python signal handler raises (KeyboardInterrupt
// on Ctrl+C) the wait ends and PyErrOccurred is thrown with that exception set. Without this a
// wait without limit on a running timer could not be interrupted.
bool wait_all_without_gil(std::optional<std::chrono::nanoseconds> limit, bool stop_first);

}  // namespace varnex::py
