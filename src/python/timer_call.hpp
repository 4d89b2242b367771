// One tick's call of a timer's Python callable, for both engines, and the start-time check for
// coroutine functions.
//
// A tick callback owns a new reference to the callable and to the argument tuple (the same
// tuple, with the same objects, on every tick). It takes the GIL for exactly one call and
// releases it afterwards; a raising call is reported through the timer's TimerErrors as
//   "Timer function error: <qualified type>: <str(exception)>"
// (": <exception str() failed>" when str() raises), an error-level diagnostic with the timer's
// details and, the first time, its traceback; it still counts as a call.
// Once the interpreter is finalizing, call() takes nothing and reports false, so the loop ends.
// Dropping the callback releases its references from whichever thread drops it, through
// release_reference (deferred_release.hpp).
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "python/py_ref.hpp"
#include "tasks/timer_handle.hpp"
#include "tasks/timer_loops.hpp"

namespace varnex::py {

// Normal engine: the call runs on a blocking-pool thread, which takes the GIL through its kept
// thread state. Its gate() is the same for every normal timer, so the scheduler calls the ticks
// due together under one GIL acquisition (each still its own call, error line and count).
std::shared_ptr<TickCallback> make_pool_timer_call(PyRef func, PyRef args,
                                                   std::shared_ptr<TimerErrors> errors = {});

// Thread engine: the timer thread keeps one thread state for its whole life, so each call costs
// a GIL restore and save rather than a new thread state. The first call creates it; it is
// released when the callback is dropped at the end of the thread.
std::shared_ptr<TickCallback> make_thread_timer_call(PyRef func, PyRef args,
                                                     std::shared_ptr<TimerErrors> errors = {});

// The name a timer's diagnostics give its callable: __qualname__, else __name__, else the name
// of its type. With the GIL held.
std::string callable_name(PyObject* func) noexcept;

// Writes the coroutine warning to fd 2 when inspect.iscoroutinefunction(func) is True. Any
// failure on the way (import, call, a result that is not a bool) is cleared and ignored.
// With the GIL held.
void warn_if_coroutine_function(PyObject* func) noexcept;

}  // namespace varnex::py
