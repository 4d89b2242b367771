// Releasing Python references from threads that may not hold the GIL: the one way the module
// does it.
//
// A reference owned by C++ code can reach its last holder on any thread: a runtime worker that
// finishes a background call, a blocking-pool thread, a timer thread at its end. Decrementing it
// needs the GIL, and a runtime worker must never wait for the GIL. So a reference released on a
// thread that does not hold the GIL is queued, and a release thread of its own (started when
// the queue first fills, ended after a quiet spell) takes the GIL and releases it at once: a
// finaliser runs promptly even if the program never calls the module again. Module calls that
// hold the GIL drain the queue as well. Once the interpreter is finalizing, queued references
// are never released: they are leaked on purpose, as the interpreter is going away.
#pragma once

#include <Python.h>

#include <utility>

#include "python/py_ref.hpp"

namespace varnex::py {

// Releases `object` (may be null) now if this thread holds the GIL and the interpreter is
// alive, else queues it for the release thread. Never blocks on the GIL; safe on any thread,
// also while the process exits.
void release_reference(PyObject* object) noexcept;

// Releases the queued references. The GIL must be held.
void drain_deferred_releases() noexcept;

// A deleter usable where the owner does not know what it holds (a type-erased pointer).
void release_reference_erased(void* object) noexcept;

// An owned reference that may be dropped on any thread, with or without the GIL (through
// release_reference). Created, read and taken back only with the GIL held.
class AnyThreadRef {
 public:
  AnyThreadRef() noexcept = default;
  explicit AnyThreadRef(PyRef ref) noexcept : p_(ref.release()) {}
  AnyThreadRef(AnyThreadRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  AnyThreadRef& operator=(AnyThreadRef&& other) noexcept {
    release_reference(std::exchange(p_, std::exchange(other.p_, nullptr)));
    return *this;
  }
  AnyThreadRef(const AnyThreadRef&) = delete;
  AnyThreadRef& operator=(const AnyThreadRef&) = delete;
  ~AnyThreadRef() { release_reference(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { release_reference(std::exchange(p_, nullptr)); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace varnex::py
