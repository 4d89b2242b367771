#include "python/deferred_release.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "python/gil.hpp"
#include "runtime/process.hpp"
#include "runtime/thread_util.hpp"

namespace varnex::py {

namespace {

// The release thread ends after this long without work, so that none is left behind.
constexpr std::chrono::seconds kReleaserIdle{10};

struct Queue {
  std::mutex mutex;
  std::condition_variable filled;
  std::vector<PyObject*> objects;
  bool releaser_running = false;
};

// Never destroyed: background threads may queue references while the process exits. A child
// made by fork() starts its own queue (and release thread): what the parent had queued is
// released in the parent.
constinit rt::PerProcess<Queue> queues;
Queue& queue() { return queues.get(); }

// A decref may run __del__ and with it arbitrary Python code, during which CPython may end
// this thread at finalization (see gil.hpp).
void decref(PyObject* object) noexcept {
  without_thread_exit([object] { Py_DECREF(object); });
}

// The release thread: it exists so that waiting for the GIL falls to a thread that may wait.
void releaser_main() {
  Queue& q = queue();
  std::unique_lock lock(q.mutex);
  for (;;) {
    if (!q.filled.wait_for(lock, kReleaserIdle, [&q] { return !q.objects.empty(); })) break;
    lock.unlock();  // never wait for the GIL holding the queue's lock
    bool released = false;
    {
      // Refused once the interpreter is finalizing: the queue is left as it is.
      PersistentThreadState::Scope gil(kept_thread_state());
      if (gil) {
        drain_deferred_releases();
        released = true;
      }
    }
    lock.lock();
    if (!released) break;
  }
  q.releaser_running = false;
}

}  // namespace

void release_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (interpreter_alive() && PyGILState_Check()) {
    decref(object);
    return;
  }
  Queue& q = queue();
  try {
    std::lock_guard lock(q.mutex);
    q.objects.push_back(object);
    if (!q.releaser_running && interpreter_alive()) {
      rt::start_named_thread("varnex-release", releaser_main);
      q.releaser_running = true;
    }
  } catch (...) {
    // Out of memory while queueing leaks the reference rather than releasing it unsafely; a
    // release thread the OS refuses leaves it queued for the module's next call with the GIL.
    return;
  }
  q.filled.notify_one();
}

void release_reference_erased(void* object) noexcept {
  release_reference(static_cast<PyObject*>(object));
}

void drain_deferred_releases() noexcept {
  if (!interpreter_alive()) return;
  for (;;) {
    std::vector<PyObject*> objects;
    {
      std::lock_guard lock(queue().mutex);
      if (queue().objects.empty()) return;
      objects.swap(queue().objects);
    }
    // Released outside the lock: a __del__ may release further references, queued meanwhile
    // by other threads or by itself, which the next round takes.
    for (PyObject* object : objects) decref(object);
  }
}

}  // namespace varnex::py
