// The last resort of every diagnostic: text written straight to file descriptor 2, blocking, with
// nothing of the module's own in between (no queue, no lock, no clock), so that it works for the
// diagnostic queue's own writer and for a process about to abort from any layer.
#pragma once

#include <string_view>

namespace varnex {

// Writes text to fd 2 at once, blocking until it is written: only for the queue's own writer
// and for a process about to abort.
void write_fd2(std::string_view text);

}  // namespace varnex
