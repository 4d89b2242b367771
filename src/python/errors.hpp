// Python exceptions for the module's error values.
//
// Inside the binding layer a set Python error travels as the C++ exception PyErrOccurred; the C
// boundary (boundary.hpp) stops it and returns the slot's failure value. Errors from the core
// travel as varnex::Error values and become exceptions here, with their message unchanged.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "common/result.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {

// "A Python error is set." Throw it only after setting an error (or when a CPython call that
// sets one has failed).
struct PyErrOccurred {};

// The exception type for each kind of error (borrowed):
//   Os -> OSError, Value -> ValueError, Type -> TypeError, Runtime -> RuntimeError,
//   Timeout -> TimeoutError, Permission -> PermissionError, Fatal -> the module's internal error.
// May return null with a Python error set (only if the internal error type cannot be created).
PyObject* exception_type(ErrorKind kind) noexcept;

// Sets the exception for `error`, message unchanged.
void set_error(const Error& error) noexcept;
// Sets the exception for `error` and throws PyErrOccurred.
[[noreturn]] void throw_error(const Error& error);
// Sets `type(message)` and throws PyErrOccurred.
[[noreturn]] void throw_python(PyObject* type, std::string_view message);

// The value of a Result, or its error raised.
template <class T>
T unwrap(Result<T>&& result) {
  if (!result) throw_error(result.error());
  return std::move(result).value();
}
// Raises the error of a failed Status.
inline void check(const Status& status) {
  if (!status) throw_error(status.error());
}

// For CPython calls that return a new reference, or NULL with an error set.
PyRef new_or_throw(PyObject* new_reference);
// For CPython calls that return -1 with an error set.
int ok_or_throw(int status);

// The module's internal-error exception, "varnex.InternalError": derived from BaseException, so
// that `except Exception` does not swallow a fatal fault. Created once per process (the module's
// execution step creates it), never destroyed, and not a module attribute. Borrowed.
PyObject* internal_error_type();

}  // namespace varnex::py
