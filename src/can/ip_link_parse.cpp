#include "can/ip_link_parse.hpp"

namespace varnex {
namespace {

bool flags_contain_up(std::string_view text) {
  const size_t open = text.find('<');
  if (open == std::string_view::npos) return false;
  const size_t close = text.find('>', open + 1);
  if (close == std::string_view::npos) return false;
  std::string_view flags = text.substr(open + 1, close - open - 1);
  while (true) {
    const size_t comma = flags.find(',');
    if (flags.substr(0, comma) == "UP") return true;
    if (comma == std::string_view::npos) return false;
    flags.remove_prefix(comma + 1);
  }
}

// Reads the digits right after "bitrate "; nullopt when there are none or they overflow.
std::optional<uint32_t> bitrate_in_line(std::string_view line, size_t key_at) {
  constexpr std::string_view key = "bitrate ";
  uint64_t value = 0;
  bool any_digit = false;
  for (size_t i = key_at + key.size(); i < line.size(); ++i) {
    const char c = line[i];
    if (c < '0' || c > '9') break;
    any_digit = true;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  if (!any_digit) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string_view first_word(std::string_view line) {
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  line.remove_prefix(start);
  return line.substr(0, line.find_first_of(" \t"));
}

}  // namespace

LinkState parse_ip_link_details(std::string_view output) {
  LinkState state;
  state.up = flags_contain_up(output);

  bool bitrate_decided = false;
  std::string_view rest = output;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    if (newline != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }

    if (!bitrate_decided) {
      const size_t key_at = line.find("bitrate ");
      if (key_at != std::string_view::npos) {
        // Only the first matching line counts, even when it yields no number.
        bitrate_decided = true;
        state.bitrate = bitrate_in_line(line, key_at);
      }
    }
    const std::string_view word = first_word(line);
    if (word == "vcan" || word == "vxcan") state.is_virtual = true;
    if (state.link_type.empty() && word.starts_with("link/")) {
      state.link_type = std::string(word.substr(5));
    }
  }
  return state;
}

}  // namespace varnex
