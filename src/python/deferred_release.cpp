#include "python/deferred_release.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "python/gil.hpp"

namespace varnex::py {

namespace {

struct Queue {
  std::mutex mutex;
  std::vector<PyObject*> objects;
};

// Never destroyed: background threads may queue references while the process exits.
Queue& queue() {
  static Queue* const q = new Queue;
  return *q;
}

// A decref may run __del__ and with it arbitrary Python code, during which CPython may end
// this thread at finalization (see gil.hpp).
void decref(PyObject* object) noexcept {
  without_thread_exit([object] { Py_DECREF(object); });
}

}  // namespace

void release_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (interpreter_alive() && PyGILState_Check()) {
    decref(object);
    return;
  }
  try {
    std::lock_guard lock(queue().mutex);
    queue().objects.push_back(object);
  } catch (...) {
    // Out of memory while queueing: the reference is leaked rather than released unsafely.
  }
}

void release_reference_erased(void* object) noexcept {
  release_reference(static_cast<PyObject*>(object));
}

void drain_deferred_releases() noexcept {
  if (!interpreter_alive()) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard lock(queue().mutex);
    if (queue().objects.empty()) return;
    objects.swap(queue().objects);
  }
  // Released outside the lock: a __del__ may release further references.
  for (PyObject* object : objects) decref(object);
}

}  // namespace varnex::py
