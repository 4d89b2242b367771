// Diagnostic lines go straight to file descriptor 2, never through Python's sys.stderr,
// so that they appear even while the interpreter is busy or shutting down.
#pragma once

#include <string_view>

namespace varnex {

// Writes text exactly as given (callers include the line feed) in one write where possible.
void write_stderr(std::string_view text);

}  // namespace varnex
