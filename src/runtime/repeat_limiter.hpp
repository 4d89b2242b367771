#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/diagnostic_line.hpp"
#include "common/lock_order.hpp"
#include "runtime/clock.hpp"
#include "runtime/diagnostics.hpp"

namespace varnex {

// Keeps a fault that repeats on every frame (a link down under a 1 kHz loop) from flooding
// standard error: each distinct line is printed at most once per window. The first occurrence
// is printed as given; repeats inside the window are counted, and the next line printed for that
// text carries the count: "<line> (N similar messages suppressed)". Every occurrence is thus
// either printed or counted in the next printed line of the same text.
//
// Repeats are summarised when the same line comes again after the window, or by flush(), which
// the owner calls whenever it is about (its loop turns); at destruction whatever is still
// counted is summarised. Safe to share between threads.
class RepeatLimiter {
 public:
  using Clock = rt::Clock;
  static constexpr std::chrono::seconds kDefaultWindow{1};

  explicit RepeatLimiter(Clock::duration window = kDefaultWindow) : window_(window) {}
  RepeatLimiter(const RepeatLimiter&) = delete;
  RepeatLimiter& operator=(const RepeatLimiter&) = delete;
  ~RepeatLimiter();

  // Prints `line` (without its line feed) unless the same text was printed within the window.
  // The level and fields go with it and with its summary; `first_detail` only with a line
  // printed as new (not a summary of repeats).
  void report(const std::string& line, DiagnosticLevel level = DiagnosticLevel::Warning,
              const DiagnosticFields& fields = {}, std::string first_detail = {});

  // The same with a key that stands for "the same fault" when the lines differ (a frame's id when
  // its bytes vary): one line per key per window. `format()` makes the line only when it is
  // printed, so a repeat costs no formatting. The line printed after the window carries the
  // count of the key's repeats suppressed before it; a summary due at flush() (or at
  // destruction) repeats the key's last printed line with the count of all repeats since it.
  // Keys and texts of report() must not collide (give keys a prefix of their own).
  template <class Format>
  void report_keyed(const std::string& key, Format&& format,
                    DiagnosticLevel level = DiagnosticLevel::Warning,
                    const DiagnosticFields& fields = {}) {
    if (std::optional<std::string> text = admit_keyed(key, Clock::now(), format, level, fields)) {
      write_stderr(level, *text + "\n", fields);
    }
  }
  // Prints the summary of every text whose window has passed with repeats counted.
  void flush();
  // Prints the summary of everything still counted, window passed or not (the owner's loop is
  // ending).
  void flush_all();

  // The decisions behind report() and flush(), at a given time, returning the lines (without
  // line feed) to print instead of printing them.
  // `fresh` (when given) tells whether the line is printed as new rather than as a summary.
  std::optional<std::string> admit(const std::string& line, Clock::time_point now,
                                   DiagnosticLevel level = DiagnosticLevel::Warning,
                                   const DiagnosticFields& fields = {}, bool* fresh = nullptr);
  std::vector<std::string> due(Clock::time_point now);
  template <class Format>
  std::optional<std::string> admit_keyed(const std::string& key, Clock::time_point now,
                                         Format&& format,
                                         DiagnosticLevel level = DiagnosticLevel::Warning,
                                         const DiagnosticFields& fields = {}) {
    std::lock_guard lock(mutex_);
    auto [it, fresh] = seen_.try_emplace(key, Seen{now, 0, {}, level, fields});
    Seen& seen = it->second;
    if (!fresh && now - seen.printed < window_) {
      count_repeat_locked(seen);
      return std::nullopt;
    }
    std::string line = format();
    std::string text = with_count(line, fresh ? 0 : seen.suppressed);
    seen = Seen{now, 0, std::move(line), level, fields};
    return text;
  }

 private:
  struct Seen {
    Clock::time_point printed;
    uint64_t suppressed = 0;
    std::string keyed_line;  // report_keyed: the key's last printed line; empty for report()
    DiagnosticLevel level = DiagnosticLevel::Warning;  // of the line and of its summaries
    DiagnosticFields fields;
  };
  static std::string with_count(const std::string& line, uint64_t suppressed);
  static void write_lines(const std::vector<DiagnosticLine>& lines);
  void count_repeat_locked(Seen& seen);
  std::vector<DiagnosticLine> due_locked(std::optional<Clock::time_point> now);

  const Clock::duration window_;
  RankedMutex<LockRank::RepeatLimiter> mutex_;
  std::unordered_map<std::string, Seen> seen_;
  // Earliest time a counted repeat may be summarised; none while nothing is counted, so that
  // flush() costs one comparison on a healthy bus.
  std::optional<Clock::time_point> next_due_;
};

}  // namespace varnex
