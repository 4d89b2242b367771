#include "python/function_identity.hpp"

#include "python/errors.hpp"

namespace varnex::py {

void copy_function_identity(PyObject* wrapper, PyObject* func) {
  PyRef functools = PyRef::steal(PyImport_ImportModule("functools"));
  if (!functools) throw PyErrOccurred{};
  PyRef done =
      PyRef::steal(PyObject_CallMethod(functools.get(), "update_wrapper", "OO", wrapper, func));
  if (!done) throw PyErrOccurred{};
}

PyObject* bind_like_function(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyGetSetDef identity_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

}  // namespace varnex::py
