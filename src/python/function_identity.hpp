// What lets a decorator object stand in for the function it wraps: the function's identity
// (__name__, __qualname__, __doc__, __module__, __wrapped__, its __dict__) kept in the object's
// own attribute dict, and binding like a function when looked up through an instance, so a
// decorated method receives self.
//
// A class that uses this keeps a WrappedFunction in its state (its traverse and clear visit and
// clear it with the rest), makes its objects with wrap_function, and lists
// VARNEX_WRAPPED_FUNCTION_SLOTS(XObject, member) among its slots.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <utility>

#include "python/py_ref.hpp"

namespace varnex::py {

// Copies the identity of `func` onto `wrapper` the way functools.update_wrapper does. Throws
// PyErrOccurred when the copy fails.
void copy_function_identity(PyObject* wrapper, PyObject* func);

// The function an object stands in for, and the dict that holds its identity.
struct WrappedFunction {
  PyRef func;  // null only after the garbage collector cleared the object in a cycle
  PyRef dict;  // filled by the interpreter through __dictoffset__

  explicit WrappedFunction(PyObject* function) : func(PyRef::from_borrowed(function)) {}

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(func.get());
    Py_VISIT(dict.get());
    return 0;
  }
  void clear() {
    func = PyRef();
    dict = PyRef();
  }
};

// A new object made by `create` (which builds the state around the WrappedFunction), given the
// identity of `func`.
template <class Create>
PyRef wrap_function(PyObject* func, Create&& create) {
  PyRef object = std::forward<Create>(create)(WrappedFunction(func));
  copy_function_identity(object.get(), func);
  return object;
}

// Py_tp_descr_get: through an instance a bound method (self first), through the class the
// object itself.
PyObject* bind_like_function(PyObject* self, PyObject* instance, PyObject* owner) noexcept;

// Py_tp_getset entries exposing the instance dict as __dict__.
extern PyGetSetDef identity_getset[];

// The "__dictoffset__" member that tells the interpreter where the instance dict lives: the
// state's PyRef, one pointer, which the interpreter fills on the first attribute set. Pass
// offsetof(XObject, value.dict).
#define VARNEX_IDENTITY_DICT_MEMBER(offset) \
  { "__dictoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offset), READONLY, nullptr }

// The members table of ObjectType (an Object<State>) whose State keeps its WrappedFunction in
// the member `wrapped`.
template <class ObjectType>
PyMemberDef wrapped_function_members[] = {
    VARNEX_IDENTITY_DICT_MEMBER(offsetof(ObjectType, value.wrapped.dict)), {}};

// The slots every such class has: binding like a function, the identity dict, and the garbage
// collector's traverse and clear of the whole state.
#define VARNEX_WRAPPED_FUNCTION_SLOTS(ObjectType)                                       \
  slot(Py_tp_descr_get, &bind_like_function),                                           \
      slot(Py_tp_members, wrapped_function_members<ObjectType>),                        \
      slot(Py_tp_getset, identity_getset), slot(Py_tp_traverse, &ObjectType::traverse), \
      slot(Py_tp_clear, &ObjectType::clear)

}  // namespace varnex::py
