// What other classes need of a Python CanDeviceNonBlocking.
#pragma once

#include <Python.h>

#include <memory>

#include "can/can_device_async.hpp"

namespace varnex::py {

// The device of `object`, a CanDeviceNonBlocking; TypeError naming `argument` otherwise, and
// RuntimeError in a child made by fork() (the device's task is the parent's).
std::shared_ptr<CanDeviceAsync> non_blocking_device(PyObject* object, const char* argument);

}  // namespace varnex::py
