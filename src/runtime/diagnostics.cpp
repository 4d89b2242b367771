#include "runtime/diagnostics.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "runtime/diagnostic_queue.hpp"

namespace varnex {

void write_stderr(std::string_view text) { rt::diagnostic_queue().push(text); }

void write_stderr(DiagnosticLevel level, std::string_view text, const DiagnosticFields& fields,
                  std::string detail) {
  rt::diagnostic_queue().push(text, level, fields, std::move(detail));
}

bool flush_stderr(std::chrono::milliseconds stall_limit) {
  return rt::diagnostic_queue().flush(stall_limit);
}

bool write_fd2_until(std::string_view text, std::optional<rt::Instant> give_up_at) {
  while (!text.empty()) {
    pollfd room{2, POLLOUT, 0};
    int timeout_ms = -1;
    if (give_up_at) {
      const rt::Instant now = rt::Clock::now();
      timeout_ms =
          now >= *give_up_at
              ? 0
              : static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(*give_up_at - now).count());
    }
    const int ready = ::poll(&room, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return false;
    // POLLERR (a pipe whose reader is gone), POLLNVAL (fd 2 closed): nowhere to write to.
    if (ready < 0 || (room.revents & POLLOUT) == 0) return true;
    const ssize_t n = ::write(2, text.data(), std::min<size_t>(text.size(), PIPE_BUF));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return true;  // EPIPE, EBADF, ...: the text cannot be written anywhere
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace varnex
