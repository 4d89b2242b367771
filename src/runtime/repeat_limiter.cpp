#include "runtime/repeat_limiter.hpp"

namespace varnex {

void RepeatLimiter::write_lines(const std::vector<DiagnosticLine>& lines) {
  for (const DiagnosticLine& line : lines) {
    write_stderr(line.level, line.text + "\n", line.fields, line.detail);
  }
}

RepeatLimiter::~RepeatLimiter() {
  std::lock_guard lock(mutex_);
  write_lines(due_locked(std::nullopt));
}

void RepeatLimiter::report(const std::string& line, DiagnosticLevel level,
                           const DiagnosticFields& fields, std::string first_detail) {
  bool fresh = false;
  if (std::optional<std::string> text = admit(line, Clock::now(), level, fields, &fresh)) {
    write_stderr(level, *text + "\n", fields, fresh ? std::move(first_detail) : std::string());
  }
}

void RepeatLimiter::flush_all() {
  std::vector<DiagnosticLine> lines;
  {
    std::lock_guard lock(mutex_);
    if (!next_due_) return;
    lines = due_locked(std::nullopt);
  }
  write_lines(lines);
}

void RepeatLimiter::flush() {
  std::vector<DiagnosticLine> lines;
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

std::optional<std::string> RepeatLimiter::admit(const std::string& line, Clock::time_point now,
                                                DiagnosticLevel level,
                                                const DiagnosticFields& fields, bool* fresh) {
  std::lock_guard lock(mutex_);
  auto [it, added] = seen_.try_emplace(line, Seen{now, 0, {}, level, fields});
  if (fresh) *fresh = added;
  if (added) return line;
  Seen& seen = it->second;
  if (now - seen.printed < window_) {
    count_repeat_locked(seen);
    return std::nullopt;
  }
  std::string text = with_count(line, seen.suppressed);
  seen = Seen{now, 0, {}, level, fields};
  return text;
}

void RepeatLimiter::count_repeat_locked(Seen& seen) {
  if (seen.suppressed++ == 0) {
    const Clock::time_point due_at = seen.printed + window_;
    if (!next_due_ || due_at < *next_due_) next_due_ = due_at;
  }
}

std::vector<std::string> RepeatLimiter::due(Clock::time_point now) {
  std::vector<std::string> texts;
  std::lock_guard lock(mutex_);
  for (DiagnosticLine& line : due_locked(now)) texts.push_back(std::move(line.text));
  return texts;
}

// Without `now` (at destruction, flush_all) everything counted is due.
std::vector<DiagnosticLine> RepeatLimiter::due_locked(std::optional<Clock::time_point> now) {
  std::vector<DiagnosticLine> lines;
  next_due_.reset();
  for (auto it = seen_.begin(); it != seen_.end();) {
    Seen& seen = it->second;
    const bool window_passed = !now || *now - seen.printed >= window_;
    if (seen.suppressed > 0 && window_passed) {
      if (seen.keyed_line.empty()) {
        // The summary stands for the last repeat itself, so it counts the others.
        lines.push_back({with_count(it->first, seen.suppressed - 1), seen.level, seen.fields, {}});
      } else {
        // Repeats of a key differ from the line printed: the summary counts them all.
        lines.push_back(
            {with_count(seen.keyed_line, seen.suppressed), seen.level, seen.fields, {}});
      }
      seen = Seen{now.value_or(seen.printed), 0, std::move(seen.keyed_line), seen.level,
                  std::move(seen.fields)};
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
