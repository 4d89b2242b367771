// One diagnostic line as it travels from where it is made to fd 2 or to a consumer: its text,
// the level its producer gave it (the producer knows whether it reports progress, a fault it
// recovers from or a failed call; nothing downstream guesses it from the text), the details of
// the frame or timer it is about, and text that follows it on standard error (a traceback).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace varnex {

enum class DiagnosticLevel : std::uint8_t {
  Info,     // progress: an interface configured, "All tasks stopped successfully"
  Warning,  // a fault the module recovers from: a dropped handle, an unmatched frame
  Error,    // a call that failed: a timer callback that raised, a send, a provisioning
};

// One detail of the frame or timer a line is about ("interface" = "can0", "can_id" = 0x201,
// "task_id" = 3, "timer" = "update"). Keys are lower-case identifiers.
struct DiagnosticField {
  std::string key;
  std::variant<std::uint64_t, std::string> value;

  bool operator==(const DiagnosticField&) const = default;
};
using DiagnosticFields = std::vector<DiagnosticField>;

struct DiagnosticLine {
  std::string text;  // without line feed
  DiagnosticLevel level = DiagnosticLevel::Warning;
  DiagnosticFields fields;
  std::string detail;  // written after the line on fd 2 (without the final line feed); "": none

  bool operator==(const DiagnosticLine&) const = default;
};

}  // namespace varnex
