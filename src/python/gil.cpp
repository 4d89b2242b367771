#include "python/gil.hpp"

#include <pthread.h>
#include <unistd.h>

#include "common/lock_order.hpp"

namespace varnex::py {

bool interpreter_alive() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() && !Py_IsFinalizing();
#else
  return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

void park_thread_forever() noexcept {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  for (;;) pause();
}

void restore_thread(PyThreadState* state) noexcept {
  lock_order::before_wait(LockRank::Gil);
  without_thread_exit([state] { PyEval_RestoreThread(state); });
}

PyGILState_STATE ensure_gil() noexcept {
  lock_order::before_wait(LockRank::Gil);
  return without_thread_exit([] { return PyGILState_Ensure(); });
}

void release_gil(PyGILState_STATE state) noexcept {
  // Releasing can clear the thread state, which may run Python code.
  without_thread_exit([state] { PyGILState_Release(state); });
}

PyObject* call_object(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
  return without_thread_exit([=] { return PyObject_Call(callable, args, kwargs); });
}

PyObject* call_no_args(PyObject* callable) noexcept {
  return without_thread_exit([=] { return PyObject_CallNoArgs(callable); });
}

GilGuard::GilGuard() noexcept {
  if (!interpreter_alive()) return;
  state_ = ensure_gil();
  acquired_ = true;
  mask_.emplace();
}

GilGuard::~GilGuard() {
  if (!acquired_) return;
  mask_.reset();  // the runtime's mask again before anything else can run on this thread
  release_gil(state_);
}

bool PersistentThreadState::acquire() noexcept {
  if (!interpreter_alive()) return false;
  if (state_ == nullptr) {
    gil_state_ = ensure_gil();
    state_ = PyThreadState_Get();
  } else {
    restore_thread(state_);
  }
  held_ = true;
  mask_.emplace();
  return true;
}

void PersistentThreadState::release() noexcept {
  if (!held_) return;
  held_ = false;
  mask_.reset();
  state_ = PyEval_SaveThread();
}

PersistentThreadState::~PersistentThreadState() {
  if (state_ == nullptr) return;
  if (!held_) {
    // During finalization CPython may already have freed the thread state: leave it.
    if (!interpreter_alive()) return;
    restore_thread(state_);
  }
  release_gil(gil_state_);
}

bool holds_gil() noexcept { return interpreter_alive() && PyGILState_Check() == 1; }

PersistentThreadState& kept_thread_state() noexcept {
  // Released when the thread ends (a pool thread after it has been idle a while), if the
  // interpreter is still alive then.
  thread_local PersistentThreadState state;
  return state;
}

PersistentThreadState& pool_thread_state() noexcept { return kept_thread_state(); }

}  // namespace varnex::py
