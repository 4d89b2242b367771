// Releasing Python references from threads that may not hold the GIL.
//
// A reference owned by C++ code can reach its last holder on any thread: a runtime worker that
// finishes a background call, a blocking-pool thread, a Python thread. Decrementing it needs
// the GIL, and a runtime worker must never wait for the GIL. So a reference released on a
// thread that does not hold the GIL is queued, and the queue is emptied the next time the module
// holds the GIL (drain_deferred_releases). Once the interpreter is finalizing, queued references
// are never released: they are leaked on purpose, as the interpreter is going away.
#pragma once

#include <Python.h>

namespace varnex::py {

// Releases `object` (may be null) now if this thread holds the GIL and the interpreter is
// alive, else queues it. Never blocks on the GIL; safe on any thread, also while the process
// exits.
void release_reference(PyObject* object) noexcept;

// Releases the queued references. The GIL must be held.
void drain_deferred_releases() noexcept;

// A deleter usable where the owner does not know what it holds (a type-erased pointer).
void release_reference_erased(void* object) noexcept;

}  // namespace varnex::py
