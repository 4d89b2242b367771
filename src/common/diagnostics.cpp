#include "common/diagnostics.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <unistd.h>

#include "runtime/diagnostic_queue.hpp"

namespace varnex {

void write_stderr(std::string_view text) { rt::diagnostic_queue().push(text); }

bool flush_stderr(std::chrono::milliseconds stall_limit) {
  return rt::diagnostic_queue().flush(stall_limit);
}

void write_fd2(std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool write_fd2_until(std::string_view text, std::optional<rt::Instant> give_up_at) {
  while (!text.empty()) {
    pollfd room{2, POLLOUT, 0};
    int timeout_ms = -1;
    if (give_up_at) {
      const rt::Instant now = rt::Clock::now();
      timeout_ms = now >= *give_up_at ? 0
                                      : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                                             *give_up_at - now)
                                                             .count());
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

void RepeatLimiter::write_lines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) write_stderr(line + "\n");
}

RepeatLimiter::~RepeatLimiter() {
  std::lock_guard lock(mutex_);
  write_lines(due_locked(std::nullopt));
}

void RepeatLimiter::report(const std::string& line) {
  if (std::optional<std::string> text = admit(line, Clock::now())) write_lines({*text});
}

void RepeatLimiter::flush() {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    if (!next_due_) return;
    const Clock::time_point now = Clock::now();
    if (now < *next_due_) return;
    lines = due_locked(now);
  }
  write_lines(lines);
}

std::string RepeatLimiter::with_count(const std::string& line, uint64_t suppressed) {
  if (suppressed == 0) return line;
  return line + " (" + std::to_string(suppressed) + " similar messages suppressed)";
}

std::optional<std::string> RepeatLimiter::admit(const std::string& line, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto [it, fresh] = seen_.try_emplace(line, Seen{now, 0, {}});
  if (fresh) return line;
  Seen& seen = it->second;
  if (now - seen.printed < window_) {
    count_repeat_locked(seen);
    return std::nullopt;
  }
  std::string text = with_count(line, seen.suppressed);
  seen = Seen{now, 0, {}};
  return text;
}

void RepeatLimiter::count_repeat_locked(Seen& seen) {
  if (seen.suppressed++ == 0) {
    const Clock::time_point due_at = seen.printed + window_;
    if (!next_due_ || due_at < *next_due_) next_due_ = due_at;
  }
}

std::vector<std::string> RepeatLimiter::due(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  return due_locked(now);
}

// Without `now` (at destruction) everything counted is due.
std::vector<std::string> RepeatLimiter::due_locked(std::optional<Clock::time_point> now) {
  std::vector<std::string> lines;
  next_due_.reset();
  for (auto it = seen_.begin(); it != seen_.end();) {
    Seen& seen = it->second;
    const bool window_passed = !now || *now - seen.printed >= window_;
    if (seen.suppressed > 0 && window_passed) {
      if (seen.keyed_line.empty()) {
        // The summary stands for the last repeat itself, so it counts the others.
        lines.push_back(with_count(it->first, seen.suppressed - 1));
      } else {
        // Repeats of a key differ from the line printed: the summary counts them all.
        lines.push_back(with_count(seen.keyed_line, seen.suppressed));
      }
      seen = Seen{now.value_or(seen.printed), 0, std::move(seen.keyed_line)};
    } else if (seen.suppressed == 0 && window_passed) {
      it = seen_.erase(it);  // a new occurrence would be printed anyway; forget the text
      continue;
    } else if (seen.suppressed > 0) {
      const Clock::time_point due_at = seen.printed + window_;
      if (!next_due_ || due_at < *next_due_) next_due_ = due_at;
    }
    ++it;
  }
  return lines;
}

}  // namespace varnex
