// `with` for the module's classes: __enter__ gives the object itself, __exit__ runs the class's
// own close (or stop) and lets any exception of the block go on.
#pragma once

#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/py_ref.hpp"
#include "python/values.hpp"

namespace varnex::py {

inline PyRef enter_self(PyObject* self) { return PyRef::from_borrowed(self); }

template <auto Close>
PyRef exit_by(PyObject* self, const CallArgs& args) {
  static constexpr Signature kExit{"__exit__", 3, {"exc_type", "exc_value", "traceback"}};
  (void)bind(kExit, args);
  Close(self);
  return none();
}

// The two method-table entries, after the class's own; each doc starts with its text signature.
constexpr PyMethodDef enter_method(const char* doc) { return method<enter_self>("__enter__", doc); }
template <auto Close>
constexpr PyMethodDef exit_method(const char* doc) {
  return method<exit_by<Close>>("__exit__", doc);
}

}  // namespace varnex::py
