// The C boundary: CPython calls noexcept functions generated here, which call the C++ functions
// that implement the module's slots, methods, properties and functions.
//
// An implementation function returns PyRef (a new reference) or Result<PyRef> (an error value
// becomes its Python exception), and reports a Python error by throwing PyErrOccurred (see
// errors.hpp). boundary() is the one place where C++ exceptions stop:
//   PyErrOccurred        -> the error already set is returned to CPython
//   std::bad_alloc       -> MemoryError
//   other std::exception -> the module's internal error, with what() as message
//   anything else        -> the module's internal error
//
// Implementation signatures and the adapter that turns each into a C function:
//   PyRef f(PyObject* self)                        method<f>, function<f> (no arguments),
//                                                  property<f> (getter), unary_slot<f> (repr, str)
//   PyRef f(PyObject* self, const CallArgs& args)  method<f>, function<f> (arguments bound with
//                                                  bind(), args.hpp), call_slot<f> (tp_call)
//   PyRef f(PyTypeObject* type, const CallArgs&)   new_slot<f> (tp_new, the Python constructor)
// `self` is the module object for functions. Any of them may return Result<PyRef> instead.
#pragma once

#include <Python.h>

#include <type_traits>

#include "common/result.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {

namespace detail {

// Sets the Python error for the exception being handled (call only inside a catch block).
void translate_current_exception() noexcept;

inline PyObject* into_python(PyRef&& result) {
  if (!result) throw PyErrOccurred{};  // an empty result means an error was set
  return result.release();
}
inline PyObject* into_python(Result<PyRef>&& result) {
  if (!result) throw_error(result.error());
  return into_python(std::move(result).value());
}

// Stores a function pointer where CPython expects another function type (ml_meth), going
// through a generic function pointer so that the compiler does not warn about the cast.
template <class To, class From>
To function_cast(From* fn) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace detail

// Runs body and returns what it returns; on any exception sets the Python error and returns
// `failure` (NULL or -1). The only try/catch between CPython and the module's C++ code.
template <class R, class Body>
R boundary(R failure, Body&& body) noexcept {
  try {
    return static_cast<Body&&>(body)();
  } catch (...) {
    detail::translate_current_exception();
    return failure;
  }
}

// ---- adapters: the noexcept C functions that CPython calls ----

template <auto F>
PyObject* noargs_method(PyObject* self, PyObject* /*unused*/) noexcept {
  return boundary<PyObject*>(nullptr, [&] { return detail::into_python(F(self)); });
}

template <auto F>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return boundary<PyObject*>(nullptr, [&] {
    return detail::into_python(F(self, CallArgs::vectorcall(args, nargs, kwnames)));
  });
}

template <auto F>
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return boundary<PyObject*>(nullptr, [&] {
    return detail::into_python(F(type, CallArgs::tuple_and_dict(args, kwargs)));
  });
}

template <auto F>
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return boundary<PyObject*>(nullptr, [&] {
    return detail::into_python(F(self, CallArgs::tuple_and_dict(args, kwargs)));
  });
}

template <auto F>
PyObject* unary_slot(PyObject* self) noexcept {
  return boundary<PyObject*>(nullptr, [&] { return detail::into_python(F(self)); });
}

template <auto F>
PyObject* getter_slot(PyObject* self, void* /*closure*/) noexcept {
  return boundary<PyObject*>(nullptr, [&] { return detail::into_python(F(self)); });
}

// ---- table entries ----

// A method-table entry for F; METH_NOARGS or METH_FASTCALL | METH_KEYWORDS from F's parameters.
// doc starts with the text signature: "name($self, a, b=None)\n--\n\n" + body.
template <auto F>
constexpr PyMethodDef method(const char* name, const char* doc) {
  if constexpr (std::is_invocable_v<decltype(F), PyObject*, const CallArgs&>) {
    return {name, detail::function_cast<PyCFunction>(&fastcall_method<F>),
            METH_FASTCALL | METH_KEYWORDS, doc};
  } else {
    static_assert(std::is_invocable_v<decltype(F), PyObject*>,
                  "a method takes (PyObject* self) or (PyObject* self, const CallArgs&)");
    return {name, detail::function_cast<PyCFunction>(&noargs_method<F>), METH_NOARGS, doc};
  }
}

// A module function: the same entry as a method (self is the module). doc starts with
// "name(a, b=None)\n--\n\n".
template <auto F>
constexpr PyMethodDef function(const char* name, const char* doc) {
  return method<F>(name, doc);
}

// A read-only property (getset-table entry); doc has no text signature.
template <auto F>
constexpr PyGetSetDef property(const char* name, const char* doc) {
  return {name, &getter_slot<F>, nullptr, doc, nullptr};
}

// A type slot entry: slot(Py_tp_repr, &unary_slot<repr>), slot(Py_tp_doc, doc), ...
template <class T>
PyType_Slot slot(int id, T* pointer) {
  if constexpr (std::is_function_v<T>) {
    return {id, reinterpret_cast<void*>(pointer)};
  } else {
    return {id, const_cast<void*>(static_cast<const void*>(pointer))};
  }
}

}  // namespace varnex::py
