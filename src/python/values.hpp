// Python values from C++ values. Each returns a new reference or throws PyErrOccurred.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {

inline PyRef none() { return PyRef::from_borrowed(Py_None); }
inline PyRef py_bool(bool value) { return PyRef::from_borrowed(value ? Py_True : Py_False); }
inline PyRef py_int(std::uint64_t value) {
  return new_or_throw(PyLong_FromUnsignedLongLong(value));
}
inline PyRef py_int_signed(std::int64_t value) { return new_or_throw(PyLong_FromLongLong(value)); }
inline PyRef py_float(double value) { return new_or_throw(PyFloat_FromDouble(value)); }
// UTF-8 text; invalid sequences are replaced rather than failing.
inline PyRef py_str(std::string_view text) {
  return new_or_throw(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}
inline PyRef py_bytes(std::span<const std::uint8_t> data) {
  return new_or_throw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                static_cast<Py_ssize_t>(data.size())));
}

// A new tuple holding the given references: py_tuple(py_int(id), py_bytes(data)).
template <class... Refs>
PyRef py_tuple(Refs&&... items) {
  PyRef tuple = new_or_throw(PyTuple_New(sizeof...(Refs)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, static_cast<PyRef&&>(items).release()), ...);
  return tuple;
}

// dict[key] = value (keys keep insertion order).
inline void dict_set(PyObject* dict, const char* key, PyRef value) {
  ok_or_throw(PyDict_SetItemString(dict, key, value.get()));
}

}  // namespace varnex::py
