#include "can/can_log.hpp"

#include <linux/can.h>
#include <linux/can/error.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

namespace varnex {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::optional<unsigned> hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return std::nullopt;
}

// `value` as `digits` upper-case hex digits.
void append_hex(std::string& out, uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out.push_back(kHexDigits[(value >> shift) & 0xF]);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Appended piece by piece: g++ 12 at -O3 reads "'" + std::string(text) as an overlapping copy
// (a false -Wrestrict, an error with warnings as errors).
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  out.append(text);
  out.push_back('\'');
  return out;
}

// The words of a line, split at blanks and tabs.
std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// "(seconds.fraction)": the fraction is kept to the microsecond; further digits are dropped.
Result<int64_t> parse_timestamp(std::string_view word) {
  if (word.size() < 2 || word.front() != '(' || word.back() != ')') {
    return Error::value("no time stamp in parentheses");
  }
  const std::string_view text = word.substr(1, word.size() - 2);
  const Error bad = Error::value("bad time stamp " + quoted(text));
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return bad;
  constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / 1'000'000 - 1;
  int64_t seconds = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return bad;
    seconds = seconds * 10 + (c - '0');
    if (seconds > kMaxSeconds) return bad;
  }
  int64_t micros = 0;
  int64_t scale = 100'000;
  for (char c : fraction) {
    if (c < '0' || c > '9') return bad;
    micros += (c - '0') * scale;
    scale /= 10;
  }
  return seconds * 1'000'000 + micros;
}

// The id field: sets id, extended and error.
Status parse_id(std::string_view text, LogRecord& record) {
  const Error bad = Error::value("bad CAN id " + quoted(text));
  if (text.empty() || text.size() > 8) return bad;
  uint32_t value = 0;
  for (char c : text) {
    std::optional<unsigned> digit = hex_value(c);
    if (!digit) return bad;
    value = value << 4 | *digit;
  }
  if (text.size() <= 3) {
    if (value > CAN_SFF_MASK) return bad;
    record.id = value;
    return {};
  }
  if ((value & CAN_ERR_FLAG) != 0) {
    // Only the error flag is written in a log; the class bits are the id.
    if ((value & (CAN_EFF_FLAG | CAN_RTR_FLAG)) != 0) return bad;
    record.error = true;
    record.id = value & CAN_ERR_MASK;
    return {};
  }
  if (value > CAN_EFF_MASK) return bad;
  record.extended = true;
  record.id = value;
  return {};
}

// What follows the '#': data bytes, or "R" and an optional length for a remote request.
Status parse_data(std::string_view text, LogRecord& record) {
  const Error bad = Error::value("bad data " + quoted(text));
  if (!text.empty() && text.front() == '#') return Error::value("CAN FD frames are not supported");
  if (!text.empty() && (text.front() == 'R' || text.front() == 'r')) {
    if (record.error) return bad;
    record.remote = true;
    if (text.size() == 1) return {};
    if (text.size() != 2 || text[1] < '0' || text[1] > '8') return bad;
    record.data.assign(static_cast<std::size_t>(text[1] - '0'), 0);
    return {};
  }
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '.' && i > 0 && i + 1 < text.size() && text[i + 1] != '.') {
      ++i;
      continue;
    }
    if (text[i] == '_') {
      // A length code of 9..15 on an 8-byte frame (candump -8): the bytes are what counts.
      if (record.data.size() != CAN_MAX_DLEN || i + 2 != text.size() || !hex_value(text[i + 1]))
        return bad;
      return {};
    }
    std::optional<unsigned> high = hex_value(text[i]);
    std::optional<unsigned> low = i + 1 < text.size() ? hex_value(text[i + 1]) : std::nullopt;
    if (!high || !low) return bad;
    if (record.data.size() == CAN_MAX_DLEN) {
      return Error::value("Payload is larger than CAN maximum of 8 bytes");
    }
    record.data.push_back(static_cast<uint8_t>(*high << 4 | *low));
    i += 2;
  }
  return {};
}

}  // namespace

Result<std::string> format_log_line(const LogRecord& record) {
  const bool one_word = !record.interface.empty() &&
                        std::none_of(record.interface.begin(), record.interface.end(), [](char c) {
                          return static_cast<unsigned char>(c) <= ' ' || c == 0x7F;
                        });
  if (!one_word)
    return Error::value("interface name must be one word: " + quoted(record.interface));
  if (record.data.size() > CAN_MAX_DLEN) {
    return Error::value("Payload is larger than CAN maximum of 8 bytes");
  }
  if (record.id > CAN_EFF_MASK) return Error::value("CAN ID too large");
  if (!record.extended && !record.error && record.id > CAN_SFF_MASK) {
    char id[16];
    std::snprintf(id, sizeof id, "%X", record.id);
    return Error::value(std::string("standard CAN id above 0x7FF: 0x") + id);
  }
  if (record.timestamp_us < 0) return Error::value("time stamp before the epoch");

  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "(%lld.%06lld) ",
                static_cast<long long>(record.timestamp_us / 1'000'000),
                static_cast<long long>(record.timestamp_us % 1'000'000));
  std::string line(stamp);
  line.append(record.interface);
  line.push_back(' ');
  if (record.error) {
    append_hex(line, record.id | CAN_ERR_FLAG, 8);
  } else {
    append_hex(line, record.id, record.extended ? 8 : 3);
  }
  line.push_back('#');
  if (record.remote) {
    line.push_back('R');
    if (!record.data.empty()) line.push_back(kHexDigits[record.data.size()]);
    return line;
  }
  for (uint8_t byte : record.data) {
    line.push_back(kHexDigits[byte >> 4]);
    line.push_back(kHexDigits[byte & 0xF]);
  }
  return line;
}

Result<ParsedLine> parse_log_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> words = words_of(line);
  ParsedLine parsed;
  if (words.empty()) {
    parsed.blank = true;
    return parsed;
  }
  Result<int64_t> timestamp = parse_timestamp(words[0]);
  if (!timestamp) return std::move(timestamp).error();
  if (words.size() < 2) return Error::value("no interface name");
  if (words.size() < 3) return Error::value("no frame");
  if (words.size() > 4 || (words.size() == 4 && words[3] != "R" && words[3] != "T" &&
                           words[3] != "r" && words[3] != "t")) {
    const std::size_t after = static_cast<std::size_t>(words[3].data() - line.data());
    return Error::value("unexpected text after the frame: " + quoted(line.substr(after)));
  }
  LogRecord& record = parsed.record;
  record.timestamp_us = *timestamp;
  record.interface = std::string(words[1]);
  const std::string_view frame = words[2];
  const std::size_t hash = frame.find('#');
  if (hash == std::string_view::npos) return Error::value("no '#' in frame " + quoted(frame));
  if (Status id = parse_id(frame.substr(0, hash), record); !id) return std::move(id).error();
  if (Status data = parse_data(frame.substr(hash + 1), record); !data)
    return std::move(data).error();
  return parsed;
}

}  // namespace varnex
