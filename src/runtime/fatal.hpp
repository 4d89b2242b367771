// Fatal internal errors of the runtime (the runtime cannot be built, a thread cannot be
// started, a thread tries to block while it drives tasks). They are exceptional by nature,
// so they travel as a C++ exception; the Python boundary turns one into the module's
// internal-error exception with the message unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace varnex::rt {

struct FatalError : std::runtime_error {
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

inline constexpr const char* kBlockOnInRuntimeMessage =
    "Cannot start a runtime from within a runtime. This happens because a function (like "
    "`block_on`) attempted to block the current thread while the thread is being used to drive "
    "asynchronous tasks.";

inline constexpr const char* kBlockingLockInRuntimeMessage =
    "Cannot block the current thread from within a runtime. This happens because a function "
    "attempted to block the current thread while the thread is being used to drive asynchronous "
    "tasks.";

}  // namespace varnex::rt
