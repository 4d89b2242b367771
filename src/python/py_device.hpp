// The Python class Device: one driver of a Motor group, created only by Motor.add_device.
#pragma once

#include <memory>

#include "motor/device.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {

// A new Python Device holding a shared reference to `device`.
PyRef new_device_object(std::shared_ptr<motor::Device> device);

}  // namespace varnex::py
