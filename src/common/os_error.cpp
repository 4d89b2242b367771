#include "common/os_error.hpp"

#include <cstring>

namespace varnex {

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

std::string errno_name(int errnum) {
  const char* name = strerrorname_np(errnum);
  if (name != nullptr) return name;
  return "Unknown error " + std::to_string(errnum);
}

}  // namespace varnex
