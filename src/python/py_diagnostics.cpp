// set_diagnostic_handler and log_to: the module's diagnostic lines handed to a Python callable
// (handler(line), a line's detail such as a traceback as further calls) or to a logging.Logger
// (one record per line at the level its producer gave it, its details as `extra`, its detail
// as exc_text) instead of fd 2. The last of the two calls decides.
//
// Lines are queued by whoever produces them (rt::DiagnosticQueue) and delivered in order by the
// queue's own thread, which takes the GIL for each batch: never under a lock of the module,
// never on a runtime worker's loop. A handler may be slow or call into the module; lines it
// causes are queued behind the current batch; lines that find the queue full are counted and
// the handler gets one line saying how many. A line the handler raises on goes to fd 2 with a
// note (written by that thread); lines met while the interpreter finalizes, and those still
// queued at exit, go to fd 2.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "common/lock_order.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/python_call.hpp"
#include "python/values.hpp"
#include "runtime/diagnostic_queue.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/process.hpp"

namespace varnex::py {

namespace {

// The target is guarded as if no GIL existed (the module declares it needs none): the two
// fields below are read and written only under this mutex, and the queue's consumer is switched
// under it too, so that of two threads setting a target at once the last decides both. It is
// per process, as a parent's delivery thread may hold it at a fork; the target itself is
// inherited by a child. The delivery thread takes it without the queue's lock, so the queue's
// lock taken under it keeps the order (common/lock_order.hpp).
constinit rt::PerProcess<RankedMutex<LockRank::DiagnosticTarget>> handler_mutexes;
PyObject* handler_object = nullptr;  // strong reference; null: fd 2
bool handler_is_logger = false;      // log_to's logging.Logger, not set_diagnostic_handler's

struct Target {
  PyRef object;
  bool logger = false;
};

Target current_target() {
  std::lock_guard lock(handler_mutexes.get());
  if (!handler_object) return {};
  return {PyRef::from_borrowed(handler_object), handler_is_logger};
}

PyRef to_str(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// handler(text) for the line and for each line of its detail; false with a Python error set.
bool call_handler(PyObject* handler, const DiagnosticLine& line) {
  std::vector<std::string> texts{line.text};
  for (std::string& more : rt::DiagnosticQueue::split_lines(line.detail)) {
    if (!more.empty()) texts.push_back(std::move(more));
  }
  for (const std::string& text : texts) {
    PyRef str = to_str(text);
    PyRef args = str ? PyRef::steal(PyTuple_Pack(1, str.get())) : PyRef();
    PyRef result = args ? PyRef::steal(call_object(handler, args.get(), nullptr)) : PyRef();
    if (!result) return false;
  }
  return true;
}

// logging's own numbers for its levels.
long logging_level(DiagnosticLevel level) {
  switch (level) {
    case DiagnosticLevel::Info:
      return 20;  // logging.INFO
    case DiagnosticLevel::Warning:
      return 30;  // logging.WARNING
    case DiagnosticLevel::Error:
      return 40;  // logging.ERROR
  }
  return 30;
}

PyRef extra_of(const DiagnosticFields& fields) {
  PyRef extra = PyRef::steal(PyDict_New());
  if (!extra) return {};
  for (const DiagnosticField& field : fields) {
    PyRef value =
        std::holds_alternative<std::uint64_t>(field.value)
            ? PyRef::steal(PyLong_FromUnsignedLongLong(std::get<std::uint64_t>(field.value)))
            : to_str(std::get<std::string>(field.value));
    if (!value || PyDict_SetItemString(extra.get(), field.key.c_str(), value.get()) < 0) return {};
  }
  return extra;
}

// One record on `logger` at the line's level, its fields as `extra`, its detail (a traceback)
// as exc_text, where logging's formatters print a traceback; false with a Python error set.
// The record is made and handled as Logger.log makes and handles it, only with exc_text set.
bool log_line(PyObject* logger, const DiagnosticLine& line) {
  const long level = logging_level(line.level);
  PyRef enabled = PyRef::steal(PyObject_CallMethod(logger, "isEnabledFor", "l", level));
  if (!enabled) return false;
  const int is_enabled = PyObject_IsTrue(enabled.get());
  if (is_enabled <= 0) return is_enabled == 0;
  PyRef name = attribute(logger, "name");
  PyRef msg = to_str(line.text);
  PyRef extra = extra_of(line.fields);
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!name || !msg || !extra || !no_args) return false;
  PyRef record = PyRef::steal(PyObject_CallMethod(logger, "makeRecord", "OlslOOOOO", name.get(),
                                                  level, "varnex", 0L, msg.get(), no_args.get(),
                                                  Py_None, Py_None, extra.get()));
  if (!record) return false;
  if (!line.detail.empty()) {
    PyRef detail = to_str(line.detail);
    if (!detail || PyObject_SetAttrString(record.get(), "exc_text", detail.get()) < 0) return false;
  }
  PyRef handled = PyRef::steal(PyObject_CallMethod(logger, "handle", "O", record.get()));
  return static_cast<bool>(handled);
}

bool deliver(const std::vector<DiagnosticLine>& lines) {
  // The writer thread keeps one thread state for its life (see kept_thread_state).
  PersistentThreadState::Scope gil(kept_thread_state());
  if (!gil) return false;
  for (const DiagnosticLine& line : lines) {
    Target target = current_target();
    std::string fd2 = line.text + "\n";
    if (!line.detail.empty()) fd2 += line.detail + "\n";
    if (!target.object) {
      write_fd2(fd2);
      continue;
    }
    const bool done = target.logger ? log_line(target.object.get(), line)
                                    : call_handler(target.object.get(), line);
    if (!done) {
      const std::string what = target.logger ? "diagnostic logger" : "diagnostic handler";
      write_fd2(fd2 + "(" + what + " raised " + take_exception_text() + ")\n");
    }
  }
  return true;
}

// Set once by the first thread that installs a handler (an atomic, not the GIL, decides which).
constinit std::atomic<bool> exit_hook_set{false};

// After finalization no handler can run; whatever is still queued goes to fd 2.
void drain_at_exit() { rt::diagnostic_queue().finish_at_exit(); }

// Makes `target` (a new reference, or null for fd 2) where the lines go. With the GIL.
void set_target(PyObject* target, bool logger) {
  if (target && !exit_hook_set.exchange(true, std::memory_order_acq_rel)) {
    Py_AtExit(&drain_at_exit);
  }
  rt::DiagnosticQueue& queue = rt::diagnostic_queue();  // made before the lock is taken
  PyObject* old;
  {
    std::lock_guard lock(handler_mutexes.get());
    old = handler_object;
    handler_object = target;
    handler_is_logger = logger;
    queue.set_consumer(target ? rt::DiagnosticQueue::Deliver(&deliver)
                              : rt::DiagnosticQueue::Deliver());
  }
  Py_XDECREF(old);  // may run __del__: outside the lock
}

constexpr Signature kSetHandler{"set_diagnostic_handler", 1, {"handler"}};
PyRef set_diagnostic_handler(PyObject*, const CallArgs& args) {
  auto [handler] = bind(kSetHandler, args);
  if (handler != Py_None && !PyCallable_Check(handler)) {
    throw_python(PyExc_TypeError, "handler must be callable or None");
  }
  set_target(handler == Py_None ? nullptr : Py_NewRef(handler), false);
  return none();
}

constexpr Signature kLogTo{"log_to", 1, {"logger"}};
PyRef log_to(PyObject*, const CallArgs& args) {
  auto [given] = bind(kLogTo, args);
  if (given == Py_None) {
    set_target(nullptr, true);
    return none();
  }
  PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
  if (!logging) throw PyErrOccurred{};
  PyRef logger;
  if (PyUnicode_Check(given)) {
    logger = PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", given));
    if (!logger) throw PyErrOccurred{};
  } else {
    PyRef logger_type = attribute(logging.get(), "Logger");
    if (!logger_type) throw PyErrOccurred{};
    const int is_logger = PyObject_IsInstance(given, logger_type.get());
    if (is_logger < 0) throw PyErrOccurred{};
    if (is_logger == 0)
      throw_python(PyExc_TypeError, "logger must be a logging.Logger, a logger name or None");
    logger = PyRef::from_borrowed(given);
  }
  set_target(logger.release(), true);
  return none();
}

}  // namespace

PyMethodDef set_diagnostic_handler_function = function<set_diagnostic_handler>(
    "set_diagnostic_handler",
    doc<"set_diagnostic_handler(handler)\n--\n\n", "set_diagnostic_handler">());

PyMethodDef log_to_function = function<log_to>("log_to", doc<"log_to(logger)\n--\n\n", "log_to">());

}  // namespace varnex::py
