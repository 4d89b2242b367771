// Python values of the motor classes: the feedback dict and the control mode argument.
#pragma once

#include <Python.h>

#include "motor/protocol.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {

// {"position": rad, "speed": rad/s, "current": A}, keys in this order, each 32-bit value widened.
PyRef feedback_dict(const motor::Feedback& feedback);

// A mode argument: must be a str (TypeError naming the argument otherwise); lower-cased with
// str.lower (full Unicode, no trimming), then parsed. Unknown text raises ValueError
// "unknown mode '<lowered>', expected 'current', 'speed', or 'position'".
motor::FocMode to_foc_mode(PyObject* obj, const char* name);

}  // namespace varnex::py
