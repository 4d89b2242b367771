#pragma once

#include <string>

namespace varnex {

// "<C library description> (os error N)", the form every OS failure takes in messages.
std::string os_error_text(int errnum);

// The symbolic name of an errno value ("ENODEV"), or "Unknown error N" when there is none.
std::string errno_name(int errnum);

}  // namespace varnex
