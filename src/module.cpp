// Module entry: the only exported symbol is PyInit_varnex. Nothing happens at import beyond
// registering the classes and functions: no thread starts and no device is touched.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/lock_order.hpp"
#include "python/boundary.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {
namespace {

using TypeHook = PyTypeObject* (*)();

// The classes, in registration order. To register a class, add its line (its hook is declared
// in python/module_parts.hpp and defined in the class's file).
constexpr TypeHook kClasses[] = {
    async_handle_type,             //  1 AsyncHandle           (background calls)
    can_device_type,               //  2 CanDevice             (blocking CAN device)
    can_device_non_blocking_type,  //  3 CanDeviceNonBlocking  (non-blocking CAN device)
    device_type,                   //  4 Device                (motor classes)
    motor_type,                    //  5 Motor                 (motor classes)
    precision_timer_type,          //  6 PrecisionTimer        (timer decorators)
    task_manager_type,             //  7 TaskManager           (task manager)
    run_async_type,                //  8 RunAsync              (background calls)
    timer_type,                    //  9 Timer                 (timer decorators)
    timer_handle_type,             // 10 TimerHandle           (timer decorators)
    timer_wrapper_type,            // 11 TimerWrapper          (timer decorators)
    can_log_writer_type,           // 12 CanLogWriter          (recording and replay)
    can_log_reader_type,           // 13 CanLogReader          (recording and replay)
    can_log_frame_type,            // 14 CanLogFrame           (recording and replay)
    can_log_task_type,             // 15 CanLogTask            (recording and replay)
};

// The functions, registered after all classes, in this order.
PyMethodDef* const kFunctions[] = {
    &timer_function,                   // 1 timer                  (timer decorators)
    &precision_timer_function,         // 2 precision_timer        (timer decorators)
    &run_async_function,               // 3 run_async              (background calls)
    &get_task_manager_function,        // 4 get_task_manager       (task manager)
    &shutdown_all_function,            // 5 shutdown_all           (shutdown)
    &block_all_function,               // 6 block_all              (shutdown)
    &block_until_function,             // 7 block_until            (shutdown)
    &set_diagnostic_handler_function,  // 8 set_diagnostic_handler (diagnostics)
    &reset_stop_function,              // 9 reset_stop             (task manager)
    &log_to_function,                  // 10 log_to                (diagnostics)
    &replay_function,                  // 11 replay                (recording and replay)
};

// Runs once per module object, on the importing thread, with the GIL held. The first step
// that fails makes the import fail with its error.
int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'module'",
                 Py_TYPE(module)->tp_name);
    throw PyErrOccurred{};
  }
  // The type objects, the runtime and the registry are the process's, and background threads
  // take the GIL of the interpreter that is current for them: code of a second interpreter
  // would outlive it there. So the module loads only in the main interpreter, on every version
  // (the Py_mod_multiple_interpreters slot below refuses only isolated interpreters, from 3.12).
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "varnex can only be imported in the main interpreter, not in a "
                    "sub-interpreter");
    throw PyErrOccurred{};
  }
  lock_order::set_gil_probe(&holds_gil);
  // Created now so that raising a fatal error never depends on creating its type.
  internal_error_type();
  for (TypeHook type : kClasses) ok_or_throw(PyModule_AddType(module, type()));
  PyRef module_name = new_or_throw(PyModule_GetNameObject(module));
  for (PyMethodDef* def : kFunctions) {
    PyRef function = new_or_throw(PyCFunction_NewEx(def, nullptr, module_name.get()));
    ok_or_throw(PyModule_AddObjectRef(module, def->ml_name, function.get()));
  }
  return 0;
}

int exec_slot(PyObject* module) noexcept {
  return boundary<int>(-1, [module] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_slot)},
#ifdef Py_mod_multiple_interpreters
    // The type objects are created once per process and shared by every module object, so the
    // module must not be loaded into a second interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Object state is guarded by the module's own access checks and locks.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "varnex",
    "Python module for CAN motor control and precise periodic tasks.",
    0,        // no per-module state
    nullptr,  // no methods table: the execution step adds the functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace varnex::py

PyMODINIT_FUNC PyInit_varnex(void) { return PyModuleDef_Init(&varnex::py::module_def); }
