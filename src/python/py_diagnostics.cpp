// set_diagnostic_handler: the module's diagnostic lines handed to a Python callable (for
// example logging.getLogger("varnex").warning) instead of fd 2.
//
// Lines are queued by whoever produces them (rt::DiagnosticQueue) and delivered in order by the
// queue's own thread, which takes the GIL for each batch: never under a lock of the module,
// never on a runtime worker's loop. A handler may be slow or call into the module; lines it
// causes are queued behind the current batch; lines that find the queue full are counted and
// the handler gets one line saying how many. A line the handler raises on goes to fd 2 with a
// note (written by that thread); lines met while the interpreter finalizes, and those still
// queued at exit, go to fd 2.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/diagnostics.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/python_call.hpp"
#include "python/values.hpp"
#include "runtime/diagnostic_queue.hpp"
#include "runtime/process.hpp"

namespace varnex::py {

namespace {

// Guards handler_object; per process, as a parent's delivery thread may hold it at a fork.
constinit rt::PerProcess<std::mutex> handler_mutexes;
PyObject* handler_object = nullptr;  // strong reference; null: fd 2

PyRef current_handler() {
  std::lock_guard lock(handler_mutexes.get());
  return handler_object ? PyRef::from_borrowed(handler_object) : PyRef();
}

bool deliver(const std::vector<std::string>& lines) {
  GilGuard gil;
  if (!gil) return false;
  for (const std::string& line : lines) {
    PyRef handler = current_handler();
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
    if (!handler || !text) {
      PyErr_Clear();
      write_fd2(line + "\n");
      continue;
    }
    PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
    PyRef result = args ? PyRef::steal(call_object(handler.get(), args.get(), nullptr)) : PyRef();
    if (!result) {
      write_fd2(line + "\n(diagnostic handler raised " + take_exception_text() + ")\n");
    }
  }
  return true;
}

bool exit_hook_set = false;  // under the GIL

// After finalization no handler can run; whatever is still queued goes to fd 2.
void drain_at_exit() { rt::diagnostic_queue().finish_at_exit(); }

constexpr Signature kSetHandler{"set_diagnostic_handler", 1, {"handler"}};
PyRef set_diagnostic_handler(PyObject*, const CallArgs& args) {
  auto [handler] = bind(kSetHandler, args);
  if (handler != Py_None && !PyCallable_Check(handler)) {
    throw_python(PyExc_TypeError, "handler must be callable or None");
  }
  if (handler != Py_None && !exit_hook_set) {
    exit_hook_set = true;
    Py_AtExit(&drain_at_exit);
  }
  PyObject* old;
  {
    std::lock_guard lock(handler_mutexes.get());
    old = handler_object;
    handler_object = handler == Py_None ? nullptr : Py_NewRef(handler);
  }
  rt::diagnostic_queue().set_consumer(handler == Py_None ? rt::DiagnosticQueue::Deliver()
                                                         : rt::DiagnosticQueue::Deliver(&deliver));
  Py_XDECREF(old);
  return none();
}

}  // namespace

PyMethodDef set_diagnostic_handler_function = function<set_diagnostic_handler>(
    "set_diagnostic_handler",
    doc<"set_diagnostic_handler(handler)\n--\n\n", "set_diagnostic_handler">());

}  // namespace varnex::py
