// Module entry: the only exported symbol is PyInit_varnex.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int varnex_exec(PyObject* module) {
  (void)module;
  return 0;
}

PyModuleDef_Slot varnex_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(varnex_exec)},
    {0, nullptr},
};

PyModuleDef varnex_def = {
    PyModuleDef_HEAD_INIT, "varnex", "Python module for CAN motor control and precise periodic tasks.",
    0, nullptr, varnex_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_varnex(void) { return PyModuleDef_Init(&varnex_def); }
