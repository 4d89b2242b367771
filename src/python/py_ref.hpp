// Owning references to Python objects.
//
// Rules of use:
//  1. A reference you own lives in a PyRef; a raw PyObject* is always borrowed and is never
//     decref'd by the code that holds it.
//  2. Wrapping says what happens to the count: PyRef::steal takes over a new reference (what the
//     C API documents as "Return value: New reference"); PyRef::from_borrowed adds one.
//  3. Ownership goes back to CPython only through release() (a slot's return value, an API that
//     steals). A PyRef is destroyed, assigned or released only with the GIL held.
#pragma once

#include <Python.h>

#include <utility>

namespace varnex::py {

class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference (may be null).
  [[nodiscard]] static PyRef steal(PyObject* new_reference) noexcept {
    return PyRef(new_reference);
  }
  // Adds a reference to a borrowed one (may be null).
  [[nodiscard]] static PyRef from_borrowed(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);  // after the swap: a destructor it runs may look at this object
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Another owned reference to the same object.
  [[nodiscard]] PyRef new_reference() const noexcept { return from_borrowed(p_); }

  // Hands the reference to the caller (CPython); this PyRef becomes empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace varnex::py
