// Starting a timer from Python (TimerWrapper.__call__) and the TimerHandle it returns.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"
#include "tasks/timer_period.hpp"

namespace varnex::py {

// Starts one timer calling func(*args) at frequency_hz and returns its new TimerHandle. In
// order: a task id; the period (ValueError when the frequency has none); the coroutine check;
// the run state; the engine; the registration. Fails without leaving a loop running or an
// entry registered. With the GIL held; never blocks.
PyRef start_timer(PyObject* func, PyRef args, double frequency_hz, TimerPrecision precision);

}  // namespace varnex::py
