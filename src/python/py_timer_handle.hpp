// Starting a timer from Python (TimerWrapper.__call__) and the TimerHandle class, which wraps
// the core handle (tasks/timer_handle.hpp): it only converts, calls and wraps.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"
#include "tasks/timer_handle.hpp"
#include "tasks/timer_period.hpp"
#include "tasks/timer_thread.hpp"

namespace varnex::py {

// Starts one timer calling func(*args) at frequency_hz and returns its new TimerHandle. In
// order: a task id; the period (ValueError when the frequency has none); the coroutine check;
// the run state; the engine; the registration. Fails without leaving a loop running or an
// entry registered. With the GIL held; blocks only while a thread with `scheduling` places
// itself.
PyRef start_timer(PyObject* func, PyRef args, double frequency_hz, TimerPrecision precision,
                  const ThreadScheduling& scheduling = {});

// priority= and cpu= of precision_timer and Motor.start_broadcast: None or an int each (the
// ranges are checked by check_thread_scheduling).
ThreadScheduling to_thread_scheduling(PyObject* priority, PyObject* cpu);

// A new Python TimerHandle holding `handle`, which it adopts (the timer's and the broadcast's).
PyRef wrap_timer_handle(TimerHandle handle);

}  // namespace varnex::py
