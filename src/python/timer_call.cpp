#include "python/timer_call.hpp"

#include <string>
#include <utility>

#include "common/diagnostics.hpp"
#include "python/deferred_release.hpp"
#include "python/gil.hpp"
#include "python/python_call.hpp"

namespace varnex::py {

namespace {

constexpr std::string_view kCoroutineWarning =
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
    "and will likely fail to execute properly. Please use a synchronous function.\n";

constexpr std::string_view kErrorPrefix = "Timer function error: ";

// UTF-8 of a str object (unencodable characters replaced), or nothing with the error cleared.
bool utf8_of(PyObject* text, std::string& out) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return false;
  }
  out.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

// The error line for the exception being raised, which it takes and clears. Every call in here
// that may run Python code goes through without_thread_exit (see gil.hpp), so a forced thread
// exit never unwinds through these frames.
std::string take_error_line() {
  // Its traceback may hold frames whose locals run __del__ when released.
  const AnyThreadRef exc(take_exception());
  std::string line(kErrorPrefix);
  if (!exc) return line + "SystemError: error return without exception set\n";

  PyRef qualname = attribute(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), "__qualname__");
  if (!qualname || !PyUnicode_Check(qualname.get()) || !utf8_of(qualname.get(), line)) {
    PyErr_Clear();
    line += Py_TYPE(exc.get())->tp_name;
  }

  line += ": ";
  PyRef text = str_of(exc.get());
  if (!text || !utf8_of(text.get(), line)) {
    PyErr_Clear();
    line += "<exception str() failed>";
  }
  line += '\n';
  return line;
}

// call_timer_function's work under the GIL: func(*args), the result dropped; returns the error
// line to print (empty when the call returned).
std::string call_with_gil(PyObject* func, PyObject* args) {
  // A coroutine object from an async function is dropped unawaited; dropping may run __del__.
  if (AnyThreadRef result{PyRef::steal(call_object(func, args, nullptr))}) return {};
  return take_error_line();
}

// Counts the error in `errors` (when kept) and prints its line; without the GIL.
void report_error(const std::string& line, TimerErrors* errors) {
  if (errors) {
    std::string text = line.substr(kErrorPrefix.size());
    if (!text.empty() && text.back() == '\n') text.pop_back();
    errors->record(std::move(text));
  }
  write_stderr(line);
}

// The references are dropped through release_reference: the last holder may be a thread
// without the GIL (a timer thread at its end, a pool thread).
class PoolTimerCall final : public TickCallback {
 public:
  PoolTimerCall(PyRef func, PyRef args, std::shared_ptr<TimerErrors> errors)
      : func_(std::move(func)), args_(std::move(args)), errors_(std::move(errors)) {}
  PoolTimerCall(const PoolTimerCall&) = delete;
  PoolTimerCall& operator=(const PoolTimerCall&) = delete;

  bool call() noexcept override {
    std::string error;
    {
      PersistentThreadState::Scope gil(pool_thread_state());
      if (!gil) return false;
      error = call_with_gil(func_.get(), args_.get());
    }
    if (!error.empty()) report_error(error, errors_.get());  // after the GIL is released
    return true;
  }

 private:
  AnyThreadRef func_;
  AnyThreadRef args_;
  std::shared_ptr<TimerErrors> errors_;
};

class ThreadTimerCall final : public TickCallback {
 public:
  ThreadTimerCall(PyRef func, PyRef args, std::shared_ptr<TimerErrors> errors)
      : func_(std::move(func)), args_(std::move(args)), errors_(std::move(errors)) {}
  ThreadTimerCall(const ThreadTimerCall&) = delete;
  ThreadTimerCall& operator=(const ThreadTimerCall&) = delete;

  bool call() noexcept override {
    std::string error;
    {
      PersistentThreadState::Scope gil(thread_state_);
      if (!gil) return false;
      error = call_with_gil(func_.get(), args_.get());
    }
    if (!error.empty()) report_error(error, errors_.get());
    return true;
  }

 private:
  // Destroyed on the timer thread at its end (or on the starting thread if the thread never
  // started); the references are queued before the kept thread state goes.
  PersistentThreadState thread_state_;
  AnyThreadRef func_;
  AnyThreadRef args_;
  std::shared_ptr<TimerErrors> errors_;
};

}  // namespace

std::shared_ptr<TickCallback> make_pool_timer_call(PyRef func, PyRef args,
                                                  std::shared_ptr<TimerErrors> errors) {
  return std::make_shared<PoolTimerCall>(std::move(func), std::move(args), std::move(errors));
}

std::shared_ptr<TickCallback> make_thread_timer_call(PyRef func, PyRef args,
                                                    std::shared_ptr<TimerErrors> errors) {
  return std::make_shared<ThreadTimerCall>(std::move(func), std::move(args), std::move(errors));
}

void warn_if_coroutine_function(PyObject* func) noexcept {
  PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
  if (!inspect) {
    PyErr_Clear();
    return;
  }
  PyRef result = PyRef::steal(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", func));
  if (!result) {
    PyErr_Clear();
    return;
  }
  if (result.get() == Py_True) write_stderr(kCoroutineWarning);
}

}  // namespace varnex::py
