// Diagnostic lines go to file descriptor 2, never through Python's sys.stderr, so that they
// appear even while the interpreter is busy or shutting down; or, once a Python handler is set,
// to it. Either way they pass through one queue and its writer thread
// (runtime/diagnostic_queue.hpp): whoever produces a line never waits for fd 2, so a standard
// error that nobody reads for a while (a paused terminal, a stalled pipe) cannot stop a runtime
// worker, a timer or a device's task. What that queue cannot hold is dropped and counted.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "common/diagnostic_line.hpp"
#include "common/fd2.hpp"
#include "runtime/clock.hpp"

namespace varnex {

// Queues text (callers include the line feed) for standard error, or for the Python handler.
// Never waits for fd 2. Without a level the lines are warnings about nothing in particular;
// `detail` (a traceback) follows the last line.
void write_stderr(std::string_view text);
void write_stderr(DiagnosticLevel level, std::string_view text, const DiagnosticFields& fields = {},
                  std::string detail = {});

// Waits until the lines queued for fd 2 so far have been written, or until fd 2 has taken
// nothing for `stall_limit`; true when all were written. For a caller whose next step shares
// fd 2 (sudo's password prompt) or whose process ends next (a fatal error).
bool flush_stderr(std::chrono::milliseconds stall_limit = std::chrono::seconds(1));

// Writes text to fd 2, waiting for room until `give_up_at` (none: as long as it takes); false
// when it gave up first. fd 2 itself is left as it is (blocking; its mode is shared with every
// process that holds it): the wait for room is a poll, and each write is at most PIPE_BUF
// bytes, which a pipe with room takes without blocking.
bool write_fd2_until(std::string_view text, std::optional<rt::Instant> give_up_at);

}  // namespace varnex
