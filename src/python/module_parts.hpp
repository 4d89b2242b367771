// The hooks through which src/module.cpp registers the module's eleven classes and eight
// functions. Each hook is defined in the file of its class or function (namespace varnex::py);
// the module registers the ones listed in its tables.
//
// How to add a class (Timer, class 9, as the example):
//  1. In src/python/py_timer.cpp write each member once as a C++ function (signatures in
//     boundary.hpp; arguments in args.hpp; results in values.hpp; errors in errors.hpp), then
//     the tables and the hook:
//
//       struct TimerState { double frequency; };
//       using TimerObject = Object<TimerState>;                        // object.hpp
//
//       constexpr Signature kNew{"Timer", 1, {"frequency_hz"}};
//       PyRef timer_new(PyTypeObject* type, const CallArgs& args) {
//         auto [frequency_hz] = bind(kNew, args);
//         const double hz = to_f64(frequency_hz, "frequency_hz");
//         if (!(hz > 0.0)) throw_error(Error::value("frequency_hz must be positive"));
//         return TimerObject::create(type, TimerState{hz});
//       }
//       PyRef frequency(PyObject* self) { return py_float(TimerObject::shared(self)->frequency); }
//
//       PyMethodDef methods[] = {
//           method<frequency>("frequency", doc<"frequency($self)\n--\n\n返回设定的执行频率。",
//                                              "Timer.frequency">()),
//           {}};
//       PyType_Slot slots[] = {
//           slot(Py_tp_doc, doc<"Timer(frequency_hz)\n--\n\n普通定时器装饰器。...", "Timer">()),
//           slot(Py_tp_new, &new_slot<timer_new>),
//           slot(Py_tp_dealloc, &TimerObject::dealloc),
//           slot(Py_tp_methods, methods),
//           {0, nullptr}};
//       PyType_Spec spec = object_spec<TimerState>("varnex.Timer", kClassFlags, slots);
//
//       PyTypeObject* timer_type() {   // the hook declared below
//         static constinit ProcessType type;
//         return type.get(spec);
//       }
//
//     A class without a Python constructor uses kClassFlags | kNoConstructor and no Py_tp_new;
//     its instances come from TheObject::create(the_type(), ...). Properties go in a
//     PyGetSetDef table (property<f>("name", doc)) under Py_tp_getset; repr is
//     slot(Py_tp_repr, &unary_slot<f>); a callable instance has slot(Py_tp_call, &call_slot<f>).
//     A value holding Python references adds Py_TPFLAGS_HAVE_GC and the slots Py_tp_traverse /
//     Py_tp_clear with Object<T>::traverse / Object<T>::clear.
//     Every docstring is doc<own text, "Class.member">() (docstring.hpp): the English body is the
//     member's docstring in stubs/varnex.pyi, where the new names' types go too.
//  2. In src/module.cpp, add the class's line to the class table, in registration order.
//
// How to add a function (run_async as the example): define
//       PyMethodDef run_async_function =
//           function<run_async>("run_async", doc<"run_async(func)\n--\n\n...", "run_async">());
// with `PyRef run_async(PyObject* module, const CallArgs& args)`, and add its line to the
// function table in src/module.cpp.
#pragma once

#include <Python.h>

namespace varnex::py {

// Classes, in registration order: each returns its type object (borrowed, created on first use,
// kept for the life of the process); throws PyErrOccurred if it cannot be created.
PyTypeObject* async_handle_type();             //  1 AsyncHandle
PyTypeObject* can_device_type();               //  2 CanDevice
PyTypeObject* can_device_non_blocking_type();  //  3 CanDeviceNonBlocking
PyTypeObject* device_type();                   //  4 Device
PyTypeObject* motor_type();                    //  5 Motor
PyTypeObject* precision_timer_type();          //  6 PrecisionTimer
PyTypeObject* task_manager_type();             //  7 TaskManager
PyTypeObject* run_async_type();                //  8 RunAsync
PyTypeObject* timer_type();                    //  9 Timer
PyTypeObject* timer_handle_type();             // 10 TimerHandle
PyTypeObject* timer_wrapper_type();            // 11 TimerWrapper
PyTypeObject* can_log_writer_type();           // 12 CanLogWriter
PyTypeObject* can_log_reader_type();           // 13 CanLogReader
PyTypeObject* can_log_frame_type();            // 14 CanLogFrame
PyTypeObject* can_log_task_type();             // 15 CanLogTask

// Functions, in registration order: each is the function's method-table entry (boundary.hpp,
// function<f>), which must live for the life of the process.
extern PyMethodDef timer_function;                   // 1 timer
extern PyMethodDef precision_timer_function;         // 2 precision_timer
extern PyMethodDef run_async_function;               // 3 run_async
extern PyMethodDef get_task_manager_function;        // 4 get_task_manager
extern PyMethodDef shutdown_all_function;            // 5 shutdown_all
extern PyMethodDef block_all_function;               // 6 block_all
extern PyMethodDef block_until_function;             // 7 block_until
extern PyMethodDef set_diagnostic_handler_function;  // 8 set_diagnostic_handler
extern PyMethodDef reset_stop_function;              // 9 reset_stop
extern PyMethodDef log_to_function;                  // 10 log_to
extern PyMethodDef replay_function;                  // 11 replay

}  // namespace varnex::py
