// What lets a decorator object stand in for the function it wraps: the function's identity
// (__name__, __qualname__, __doc__, __module__, __wrapped__, its __dict__) kept in the object's
// own attribute dict, and binding like a function when looked up through an instance, so a
// decorated method receives self.
//
// A class that uses this keeps a PyRef `dict` in its state (visited and cleared with the rest),
// and adds VARNEX_IDENTITY_DICT_MEMBER to Py_tp_members, identity_getset and bind_like_function.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>

#include "python/py_ref.hpp"

namespace varnex::py {

// Copies the identity of `func` onto `wrapper` the way functools.update_wrapper does. Throws
// PyErrOccurred when the copy fails.
void copy_function_identity(PyObject* wrapper, PyObject* func);

// Py_tp_descr_get: through an instance a bound method (self first), through the class the
// object itself.
PyObject* bind_like_function(PyObject* self, PyObject* instance, PyObject* owner) noexcept;

// Py_tp_getset entries exposing the instance dict as __dict__.
extern PyGetSetDef identity_getset[];

// The "__dictoffset__" member that tells the interpreter where the instance dict lives: the
// state's PyRef, one pointer, which the interpreter fills on the first attribute set. Pass
// offsetof(XObject, value.dict).
#define VARNEX_IDENTITY_DICT_MEMBER(offset) \
  {"__dictoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offset), READONLY, nullptr}

}  // namespace varnex::py
