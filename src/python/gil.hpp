// The interpreter lock (GIL): releasing it around waits, and taking it from our own threads.
//
// Threads that CPython did not create (runtime workers, timer threads) must not take the GIL
// once the interpreter finalizes. Before CPython 3.14, a thread that asks for the GIL during
// finalization is ended by CPython with pthread_exit, which unwinds the thread's C++ frames
// (a "forced unwind") without the GIL: destructors would run against a dying interpreter, and a
// noexcept frame on the way calls std::terminate. So:
//   - check interpreter_alive() before taking the GIL (GilGuard, PersistentThreadState do);
//   - for the race that remains, every CPython call that may take the GIL is made through
//     without_thread_exit(), which catches the forced unwind right at the call and parks the
//     thread for the rest of the process instead.
// Never hold a lock of ours while waiting for the GIL (except those the lock order puts before
// it, common/lock_order.hpp; restore_thread and ensure_gil check that in test builds), and never
// `catch (...)` without rethrowing around code that calls CPython (it would swallow the forced
// unwind).
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/thread_util.hpp"

namespace varnex::py {

// True while the interpreter is initialised and not finalizing.
bool interpreter_alive() noexcept;

// True when the calling thread holds the GIL (for the lock-order checker).
bool holds_gil() noexcept;

// Blocks the calling thread until the process ends.
[[noreturn]] void park_thread_forever() noexcept;

// Runs `call`, a lambda whose body is ONE CPython call that may take the GIL (for example
// PyEval_RestoreThread, PyGILState_Ensure, PyObject_Call). If CPython ends the thread during
// finalization, the forced unwind is caught here and the thread is parked for good.
// The lambda must hold no object with a destructor (the unwind would run it without the GIL)
// and must not be noexcept (the unwind would call std::terminate before reaching this catch).
template <class Call>
decltype(auto) without_thread_exit(Call&& call) noexcept {
  try {
    return std::forward<Call>(call)();
  } catch (abi::__forced_unwind&) {
    // Never leave this block: ending it without rethrowing calls std::terminate, and rethrowing
    // would tear down the caller's frames without the GIL. The process is exiting; the parked
    // thread ends with it.
    park_thread_forever();
  }
}

// CPython calls made through without_thread_exit.
void restore_thread(PyThreadState* state) noexcept;  // PyEval_RestoreThread
PyGILState_STATE ensure_gil() noexcept;              // PyGILState_Ensure
void release_gil(PyGILState_STATE state) noexcept;   // PyGILState_Release
// PyObject_Call / PyObject_CallNoArgs: a new reference, or null with a Python error set.
PyObject* call_object(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;
PyObject* call_no_args(PyObject* callable) noexcept;

// Releases the GIL for its scope (the calling thread holds it). Use around waits only.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { restore_thread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Runs fn with the GIL taken back, then releases it again (also when fn throws).
  template <class Fn>
  decltype(auto) with_gil(Fn&& fn) {
    restore_thread(state_);
    struct Resave {
      PyThreadState*& state;
      ~Resave() { state = PyEval_SaveThread(); }
    } resave{state_};
    return std::forward<Fn>(fn)();
  }

 private:
  PyThreadState* state_;
};

// Runs fn with the GIL released and returns what it returns, the GIL held again by then (also
// when fn throws): a wait whose value, an error value included, is looked at and raised only
// once the GIL is back. fn may take the GilRelease (GilRelease&) to take the GIL for a moment
// (pending signal checks).
template <class Fn>
decltype(auto) without_gil(Fn&& fn) {
  GilRelease released;
  if constexpr (std::is_invocable_v<Fn&&, GilRelease&>) {
    return std::forward<Fn>(fn)(released);
  } else {
    return std::forward<Fn>(fn)();
  }
}

// Takes the GIL on a thread that CPython did not create, for one call into Python; while it is
// held, one of the module's threads runs with a plain Python thread's signal mask
// (rt::StarterSignalMask), so that the Python code run there behaves as on any thread. Refuses
// (acquired() is false, nothing is touched) when the interpreter is finalizing or gone.
// Creates and destroys a thread state each time; a thread that calls into Python often keeps
// one with PersistentThreadState instead (several times cheaper per call).
class GilGuard {
 public:
  GilGuard() noexcept;
  ~GilGuard();
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

  bool acquired() const noexcept { return acquired_; }
  explicit operator bool() const noexcept { return acquired_; }

 private:
  PyGILState_STATE state_{};
  bool acquired_ = false;
  std::optional<rt::StarterSignalMask> mask_;
};

// One Python thread state kept for the life of one of our threads, so that each call into
// Python costs only a restore and a save of the GIL instead of a new thread state. The signal
// mask follows the GIL as with GilGuard.
// Owned and used by that thread only. The thread state is created on the first acquire()
// (PyGILState_Ensure, so nested PyGILState_Ensure calls in callbacks find it) and released when
// this object is destroyed at the end of the thread, if the interpreter is still alive then;
// during finalization it is left alone.
class PersistentThreadState {
 public:
  PersistentThreadState() noexcept = default;
  ~PersistentThreadState();
  PersistentThreadState(const PersistentThreadState&) = delete;
  PersistentThreadState& operator=(const PersistentThreadState&) = delete;

  // Takes the GIL. False (GIL not taken) when the interpreter is finalizing or gone.
  bool acquire() noexcept;
  // Releases the GIL taken by acquire(); the thread state is kept.
  void release() noexcept;

  // acquire() for a scope; check acquired() before calling into Python.
  class Scope {
   public:
    explicit Scope(PersistentThreadState& ts) noexcept : ts_(ts), acquired_(ts.acquire()) {}
    ~Scope() {
      if (acquired_) ts_.release();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    bool acquired() const noexcept { return acquired_; }
    explicit operator bool() const noexcept { return acquired_; }

   private:
    PersistentThreadState& ts_;
    bool acquired_;
  };

 private:
  PyThreadState* state_ = nullptr;  // null until the first acquire()
  PyGILState_STATE gil_state_{};
  bool held_ = false;
  std::optional<rt::StarterSignalMask> mask_;
};

// The kept thread state of the calling blocking-pool thread: a pool thread runs call after call
// (background calls, normal timers' ticks), like the worker of a thread pool, so it keeps one
// thread state for its life instead of creating one per call. Only for pool threads.
PersistentThreadState& pool_thread_state() noexcept;

// The same for another long-lived thread of ours that takes the GIL again and again (the
// diagnostic writer, the release thread). A thread state made and deleted per GIL acquisition
// takes CPython's lock of the interpreter's thread list each time; a fork while another thread
// holds that lock hangs the child in CPython 3.11's own after-fork code (it takes the lock
// before making it anew). Threads that keep their state take that lock only at their start and
// end.
PersistentThreadState& kept_thread_state() noexcept;

}  // namespace varnex::py
