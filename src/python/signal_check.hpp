// Letting Python handle signals during a long wait that keeps the GIL.
#pragma once

#include "can/sliced_wait.hpp"

namespace varnex::py {

// On the main thread (the only one on which Python runs signal handlers): a check that runs the
// pending handlers and returns true when one raised (KeyboardInterrupt on Ctrl+C), leaving that
// exception set. On any other thread: an empty check, so the wait is not sliced at all.
// The calling thread must hold the GIL whenever the check runs.
InterruptCheck pending_signal_check();

}  // namespace varnex::py
