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

// The GIL through the calling pool thread's kept thread state: whichever pool thread calls a
// batch of normal timers takes it once for the batch.
class PoolThreadGil final : public CallGate {
 public:
  bool enter() noexcept override { return pool_thread_state().acquire(); }
  void leave() noexcept override { pool_thread_state().release(); }
};

PoolThreadGil pool_thread_gil;  // stateless: the state is the calling thread's

// The GIL through the thread state a timer thread keeps for its life.
class OwnThreadGil final : public CallGate {
 public:
  bool enter() noexcept override { return state_.acquire(); }
  void leave() noexcept override { state_.release(); }

 private:
  PersistentThreadState state_;
};

// The references are dropped through release_reference: the last holder may be a thread
// without the GIL (a timer thread at its end, a pool thread).
class PythonTimerCall final : public TickCallback {
 public:
  // `shared_gate`: the pool threads' gate; null for a timer thread, which has its own.
  PythonTimerCall(PyRef func, PyRef args, std::shared_ptr<TimerErrors> errors,
                  CallGate* shared_gate)
      : shared_gate_(shared_gate),
        func_(std::move(func)),
        args_(std::move(args)),
        errors_(std::move(errors)) {}
  PythonTimerCall(const PythonTimerCall&) = delete;
  PythonTimerCall& operator=(const PythonTimerCall&) = delete;

  CallGate* gate() noexcept override {
    return shared_gate_ != nullptr ? shared_gate_ : &own_gate_;
  }
  std::string call_entered() noexcept override { return call_with_gil(func_.get(), args_.get()); }
  void report(std::string text) noexcept override { report_error(text, errors_.get()); }

 private:
  // A timer thread's: destroyed on the timer thread at its end (or on the starting thread if the
  // thread never started), after the references below have been queued for release.
  OwnThreadGil own_gate_;
  CallGate* shared_gate_;
  AnyThreadRef func_;
  AnyThreadRef args_;
  std::shared_ptr<TimerErrors> errors_;
};

}  // namespace

std::shared_ptr<TickCallback> make_pool_timer_call(PyRef func, PyRef args,
                                                  std::shared_ptr<TimerErrors> errors) {
  return std::make_shared<PythonTimerCall>(std::move(func), std::move(args), std::move(errors),
                                           &pool_thread_gil);
}

std::shared_ptr<TickCallback> make_thread_timer_call(PyRef func, PyRef args,
                                                    std::shared_ptr<TimerErrors> errors) {
  return std::make_shared<PythonTimerCall>(std::move(func), std::move(args), std::move(errors),
                                           nullptr);
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
