#include "python/timer_call.hpp"

#include <string>
#include <utility>

#include "python/deferred_release.hpp"
#include "python/gil.hpp"
#include "python/python_call.hpp"
#include "runtime/diagnostics.hpp"

namespace varnex::py {

namespace {

constexpr std::string_view kCoroutineWarning =
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
    "and will likely fail to execute properly. Please use a synchronous function.\n";

// Every call in here that may run Python code goes through without_thread_exit (see gil.hpp),
// so a forced thread exit never unwinds through these frames.

// traceback.format_exception(exc), joined, without its final line feed; "" when that fails.
std::string traceback_text(PyObject* exc) {
  std::string text;
  PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
  PyRef format = module ? attribute(module.get(), "format_exception") : PyRef();
  PyRef args = format ? PyRef::steal(PyTuple_Pack(1, exc)) : PyRef();
  PyRef lines = args ? PyRef::steal(call_object(format.get(), args.get(), nullptr)) : PyRef();
  PyRef empty = lines ? PyRef::steal(PyUnicode_FromString("")) : PyRef();
  PyRef joined = empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
  if (!joined || !utf8_of(joined.get(), text, Unencodable::Replaced)) {
    PyErr_Clear();
    return {};
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// What a raising call reports, taken (and the error cleared) under the GIL: the error text, a
// line feed, and the traceback when `errors` wants one for that text.
std::string take_error_report(TimerErrors* errors) {
  // Its traceback may hold frames whose locals run __del__ when released.
  const AnyThreadRef exc(take_exception());
  if (!exc) return "SystemError: error return without exception set\n";
  std::string report = exception_text(exc.get(), Unencodable::Replaced);
  const bool traced = errors != nullptr && errors->wants_traceback(report);
  report += '\n';
  if (traced) report += traceback_text(exc.get());
  return report;
}

// call_timer_function's work under the GIL: func(*args), the result dropped; returns the error
// report (empty when the call returned).
std::string call_with_gil(PyObject* func, PyObject* args, TimerErrors* errors) {
  // A coroutine object from an async function is dropped unawaited; dropping may run __del__.
  if (AnyThreadRef result{PyRef::steal(call_object(func, args, nullptr))}) return {};
  return take_error_report(errors);
}

// Reports what take_error_report made; without the GIL.
void report_error(const std::string& report, TimerErrors* errors) {
  const std::size_t end = report.find('\n');
  std::string text = report.substr(0, end);
  std::string traceback = end == std::string::npos ? std::string() : report.substr(end + 1);
  if (errors) {
    errors->report(std::move(text), std::move(traceback));
  } else {
    write_stderr(DiagnosticLevel::Error, std::string(TimerErrors::kPrefix) + text + "\n", {},
                 std::move(traceback));
  }
}

// The GIL through the calling pool thread's kept thread state: whichever pool thread calls a
// batch of normal timers takes it once for the batch.
class PoolThreadGil final : public CallGate {
 public:
  bool enter() noexcept override { return pool_thread_state().acquire(); }
  void leave() noexcept override { pool_thread_state().release(); }
};

// Stateless (the state is the calling thread's) and never destroyed: a pool thread may still
// run a batch, and find the gate closed, while the process runs its exit handlers.
CallGate& pool_thread_gil = *new PoolThreadGil;

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

  CallGate* gate() noexcept override { return shared_gate_ != nullptr ? shared_gate_ : &own_gate_; }
  std::string call_entered() noexcept override {
    std::string report = call_with_gil(func_.get(), args_.get(), errors_.get());
    if (report.empty() && errors_) errors_->flush();  // repeats of earlier errors, summarised
    return report;
  }
  void report(std::string text) noexcept override { report_error(text, errors_.get()); }
  ~PythonTimerCall() override {
    if (errors_) errors_->finish();
  }

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

std::string callable_name(PyObject* func) noexcept {
  std::string name;
  for (const char* attr : {"__qualname__", "__name__"}) {
    PyRef value = attribute(func, attr);
    if (value && PyUnicode_Check(value.get()) &&
        utf8_of(value.get(), name, Unencodable::Replaced)) {
      return name;
    }
    PyErr_Clear();
  }
  return Py_TYPE(func)->tp_name;  // a callable object without a name: its type's
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
  if (result.get() == Py_True) write_stderr(DiagnosticLevel::Warning, kCoroutineWarning);
}

}  // namespace varnex::py
