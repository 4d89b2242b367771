#include "python/timer_call.hpp"

#include <initializer_list>
#include <string>
#include <utility>

#include "common/diagnostics.hpp"
#include "python/gil.hpp"

namespace varnex::py {

namespace {

constexpr std::string_view kCoroutineWarning =
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
    "and will likely fail to execute properly. Please use a synchronous function.\n";

// UTF-8 of a str object (unencodable characters replaced), or nothing with the error cleared.
bool utf8_of(PyObject* text, std::string& out) {
  PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "replace");
  if (bytes == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.append(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return true;
}

// The error line for the exception being raised, which it takes and clears. Raw references
// only: a forced thread exit inside must not run Python-touching destructors (see gil.hpp).
std::string take_error_line() {
  PyObject* exc = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
  exc = PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &exc, &traceback);
  PyErr_NormalizeException(&type, &exc, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
#endif
  std::string line = "Timer function error: ";
  if (exc == nullptr) return line + "SystemError: error return without exception set\n";

  PyObject* exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  PyObject* qualname = PyObject_GetAttrString(exc_type, "__qualname__");
  if (qualname == nullptr || !PyUnicode_Check(qualname) || !utf8_of(qualname, line)) {
    PyErr_Clear();
    line += Py_TYPE(exc)->tp_name;
  }
  Py_XDECREF(qualname);

  line += ": ";
  PyObject* text = PyObject_Str(exc);
  if (text == nullptr || !utf8_of(text, line)) {
    PyErr_Clear();
    line += "<exception str() failed>";
  }
  Py_XDECREF(text);
  Py_DECREF(exc);
  line += '\n';
  return line;
}

// call_timer_function's work under the GIL: func(*args), the result dropped; returns the error
// line to print (empty when the call returned).
std::string call_with_gil(PyObject* func, PyObject* args) noexcept {
  return without_thread_exit([func, args]() -> std::string {
    PyObject* result = PyObject_Call(func, args, nullptr);
    if (result != nullptr) {
      Py_DECREF(result);  // a coroutine object from an async function is dropped unawaited
      return {};
    }
    return take_error_line();
  });
}

// Drops owned references from any thread: directly when this thread holds the GIL, else under
// a temporary GIL hold; left alone when the interpreter is finalizing or gone (the process is
// ending and the objects may already be freed).
void release_anywhere(std::initializer_list<PyObject*> refs) noexcept {
  if (!interpreter_alive()) return;
  auto drop = [&refs] {
    for (PyObject* ref : refs) Py_XDECREF(ref);
  };
  if (PyGILState_Check()) {
    without_thread_exit(drop);
    return;
  }
  GilGuard gil;
  if (gil) without_thread_exit(drop);
}

class PoolTimerCall final : public TickCallback {
 public:
  PoolTimerCall(PyRef func, PyRef args) : func_(func.release()), args_(args.release()) {}
  ~PoolTimerCall() override { release_anywhere({func_, args_}); }
  PoolTimerCall(const PoolTimerCall&) = delete;
  PoolTimerCall& operator=(const PoolTimerCall&) = delete;

  bool call() noexcept override {
    std::string error;
    {
      GilGuard gil;
      if (!gil) return false;
      error = call_with_gil(func_, args_);
    }
    if (!error.empty()) write_stderr(error);  // after the GIL is released
    return true;
  }

 private:
  PyObject* func_;  // owned
  PyObject* args_;  // owned
};

class ThreadTimerCall final : public TickCallback {
 public:
  ThreadTimerCall(PyRef func, PyRef args) : func_(func.release()), args_(args.release()) {}
  // Runs on the timer thread at its end (or on the starting thread if the thread never
  // started); the kept thread state goes after the references.
  ~ThreadTimerCall() override { release_anywhere({func_, args_}); }
  ThreadTimerCall(const ThreadTimerCall&) = delete;
  ThreadTimerCall& operator=(const ThreadTimerCall&) = delete;

  bool call() noexcept override {
    std::string error;
    {
      PersistentThreadState::Scope gil(thread_state_);
      if (!gil) return false;
      error = call_with_gil(func_, args_);
    }
    if (!error.empty()) write_stderr(error);
    return true;
  }

 private:
  PersistentThreadState thread_state_;
  PyObject* func_;  // owned
  PyObject* args_;  // owned
};

}  // namespace

std::shared_ptr<TickCallback> make_pool_timer_call(PyRef func, PyRef args) {
  return std::make_shared<PoolTimerCall>(std::move(func), std::move(args));
}

std::shared_ptr<TickCallback> make_thread_timer_call(PyRef func, PyRef args) {
  return std::make_shared<ThreadTimerCall>(std::move(func), std::move(args));
}

void warn_if_coroutine_function(PyObject* func) noexcept {
  PyObject* inspect = PyImport_ImportModule("inspect");
  if (inspect == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* result = PyObject_CallMethod(inspect, "iscoroutinefunction", "O", func);
  Py_DECREF(inspect);
  if (result == nullptr) {
    PyErr_Clear();
    return;
  }
  const bool is_coroutine_function = result == Py_True;
  Py_DECREF(result);
  if (is_coroutine_function) write_stderr(kCoroutineWarning);
}

}  // namespace varnex::py
