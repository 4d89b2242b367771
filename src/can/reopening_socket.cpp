#include "can/reopening_socket.hpp"

#include <cerrno>

namespace varnex {

bool means_interface_gone(int errnum) { return errnum == ENODEV || errnum == ENXIO; }

}  // namespace varnex
