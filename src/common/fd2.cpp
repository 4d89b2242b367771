#include "common/fd2.hpp"

#include <unistd.h>

#include <cerrno>

namespace varnex {

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

}  // namespace varnex
