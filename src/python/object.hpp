// Python classes: heap types created once per process, and instances that hold a C++ value.
//
// Every class is a heap type made with PyType_FromSpec the first time its hook is called (the
// module's execution step does that) and kept for the life of the process; every module object
// shares it. Instances are Object<T>: the object header, a borrow flag and one C++ value, which
// is constructed by Object<T>::create and destroyed by Object<T>::dealloc.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace varnex::py {

// Flags for the module's classes: not subclassable, attributes fixed.
inline constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
// Add for classes without a Python constructor: calling the class raises TypeError.
inline constexpr unsigned long kNoConstructor = Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A class's type object, created from its PyType_Spec on first use and never destroyed.
class ProcessType {
 public:
  constexpr ProcessType() noexcept = default;

  // Borrowed. Throws PyErrOccurred if the type cannot be created. The PyType_Spec (and the method
  // and property tables it points to) must live for the life of the process.
  PyTypeObject* get(PyType_Spec& spec) {
    if (PyTypeObject* type = type_.load(std::memory_order_acquire)) return type;
    auto* created = reinterpret_cast<PyTypeObject*>(new_or_throw(PyType_FromSpec(&spec)).release());
    PyTypeObject* expected = nullptr;
    if (!type_.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
      Py_DECREF(created);  // another thread created it first (free-threaded interpreters)
      return expected;
    }
    return created;
  }

 private:
  std::atomic<PyTypeObject*> type_{nullptr};
};

// A reference to an object's value that holds a borrow guard while it lives.
template <class T, class Guard>
class Borrowed {
 public:
  Borrowed(Guard guard, T& value) noexcept : guard_(std::move(guard)), value_(&value) {}
  T* operator->() const noexcept { return value_; }
  T& operator*() const noexcept { return *value_; }

 private:
  Guard guard_;
  T* value_;
};

// The instance layout of a class whose state is one C++ value of type T.
template <class T>
struct Object {
  PyObject ob_base;
  BorrowFlag borrow;
  T value;

  static Object* of(PyObject* self) noexcept { return reinterpret_cast<Object*>(self); }

  // The value under shared access ("Already mutably borrowed" if refused).
  static Borrowed<T, BorrowFlag::Shared> shared(PyObject* self) {
    Object* o = of(self);
    return {o->borrow.shared(), o->value};
  }
  // The value under exclusive access ("Already borrowed" if refused).
  static Borrowed<T, BorrowFlag::Exclusive> exclusive(PyObject* self) {
    Object* o = of(self);
    return {o->borrow.exclusive(), o->value};
  }

  // A new instance of `type` (a type whose basicsize is sizeof(Object<T>)) holding
  // T(args...). Works for classes without a Python constructor too.
  template <class... Args>
  static PyRef create(PyTypeObject* type, Args&&... args) {
    PyObject* raw = type->tp_alloc(type, 0);  // zeroed; holds a reference to the type
    if (raw == nullptr) throw PyErrOccurred{};
    const bool gc = PyType_IS_GC(type);
    if (gc) PyObject_GC_UnTrack(raw);  // not visible to the collector until constructed
    Object* o = of(raw);
    try {
      new (&o->value) T(std::forward<Args>(args)...);
    } catch (...) {
      type->tp_free(raw);
      Py_DECREF(type);
      throw;
    }
    new (&o->borrow) BorrowFlag();
    if (gc) PyObject_GC_Track(raw);
    return PyRef::steal(raw);
  }

  // Py_tp_dealloc.
  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    of(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
  }

  // Py_tp_traverse and Py_tp_clear, for classes with Py_TPFLAGS_HAVE_GC whose value holds
  // Python references: T provides `int traverse(visitproc, void*)` and `void clear()`.
  static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if constexpr (requires(T& v) { v.traverse(visit, arg); }) {
      return of(self)->value.traverse(visit, arg);
    }
    return 0;
  }
  static int clear(PyObject* self) noexcept {
    if constexpr (requires(T& v) { v.clear(); }) of(self)->value.clear();
    return 0;
  }
};

// The PyType_Spec of a class whose instances are Object<T>. name is "varnex.ClassName".
template <class T>
constexpr PyType_Spec object_spec(const char* name, unsigned long flags, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(Object<T>)), 0, static_cast<unsigned int>(flags), slots};
}

}  // namespace varnex::py
