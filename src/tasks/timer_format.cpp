#include "tasks/timer_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace varnex {

namespace {

const char* special(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return nullptr;
}

}  // namespace

std::string format_shortest_positional(double value) {
  if (const char* s = special(value)) return s;
  // Fixed notation of the shortest round-trip digits: at most 309 integer digits or
  // 324 fractional ones plus sign and point.
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc{}) return {};
  return std::string(buffer, end);
}

std::string format_one_decimal(double value) {
  if (const char* s = special(value)) return s;
  // glibc's printf converts the exact binary value and rounds to nearest, ties to even.
  char buffer[400];
  const int n = std::snprintf(buffer, sizeof buffer, "%.1f", value);
  if (n < 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

}  // namespace varnex
