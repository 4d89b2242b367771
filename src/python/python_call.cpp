#include "python/python_call.hpp"

#include <utility>

#include "python/deferred_release.hpp"
#include "python/gil.hpp"

namespace varnex::py {

// Calls that may run Python code (__str__, __qualname__ of a metaclass) go through
// without_thread_exit, like every call that may switch the GIL.
PyRef str_of(PyObject* object) noexcept {
  return PyRef::steal(without_thread_exit([object] { return PyObject_Str(object); }));
}
PyRef attribute(PyObject* object, const char* name) noexcept {
  return PyRef::steal(
      without_thread_exit([object, name] { return PyObject_GetAttrString(object, name); }));
}

bool utf8_of(PyObject* text, std::string& out, Unencodable unencodable) {
  if (unencodable == Unencodable::Replaced) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
    if (!bytes) {
      PyErr_Clear();
      return false;
    }
    out.append(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.append(data, static_cast<std::size_t>(size));
  return true;
}

std::string exception_text(PyObject* exception, Unencodable unencodable) {
  std::string text;
  PyRef qualname = attribute(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__qualname__");
  if (!qualname || !PyUnicode_Check(qualname.get()) ||
      !utf8_of(qualname.get(), text, unencodable)) {
    PyErr_Clear();
    text = Py_TYPE(exception)->tp_name;
  }
  text += ": ";
  PyRef str = str_of(exception);
  if (!str || !utf8_of(str.get(), text, unencodable)) {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

namespace {

CallError take_call_error();

class PythonCall final : public ForeignCall {
 public:
  PythonCall(PyRef func, PyRef args) : func_(std::move(func)), args_(std::move(args)) {}

  CallOutcome invoke() override {
    PersistentThreadState::Scope gil(pool_thread_state());
    if (!gil) return std::string("the interpreter is shutting down; the call was not made");
    drain_deferred_releases();
    PyObject* result = call_object(func_.get(), args_.get(), nullptr);
    CallOutcome outcome = result != nullptr ? CallOutcome(to_foreign_value(PyRef::steal(result)))
                                            : CallOutcome(take_call_error());
    // Released here, while the GIL is held, rather than queued for later.
    func_.reset();
    args_.reset();
    return outcome;
  }

 private:
  // Whoever drops the call last may not hold the GIL (a runtime worker after a skipped call).
  AnyThreadRef func_;
  AnyThreadRef args_;
};

}  // namespace

PyRef take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  // Normalising may instantiate the exception, which runs Python code.
  without_thread_exit([&] { PyErr_NormalizeException(&type, &value, &traceback); });
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_traceback = PyRef::steal(traceback);
  if (owned_traceback && value != nullptr) PyException_SetTraceback(value, traceback);
  return PyRef::steal(value);
#endif
}

namespace {

// A background call's error text.
std::string call_error_text(const AnyThreadRef& exception) {
  if (!exception) return "<unknown>: <exception str() failed>";
  return exception_text(exception.get(), Unencodable::FailsLikeStr);
}

// The pending exception as a call's error: its text, and the object kept (with its traceback,
// which holds the raising function's frame) for whoever wants to raise it again.
CallError take_call_error() {
  AnyThreadRef exception(take_exception());
  std::string text = call_error_text(exception);
  return CallError(std::move(text), to_foreign_value(PyRef::from_borrowed(exception.get())));
}

}  // namespace

std::string take_exception_text() {
  // Its traceback may hold frames whose locals run __del__ when released.
  const AnyThreadRef exception(take_exception());
  return call_error_text(exception);
}

ForeignValue to_foreign_value(PyRef object) {
  return ForeignValue(object.release(), ForeignValueDeleter{&release_reference_erased});
}

std::unique_ptr<ForeignCall> make_python_call(PyRef func, PyRef args) {
  return std::make_unique<PythonCall>(std::move(func), std::move(args));
}

}  // namespace varnex::py
