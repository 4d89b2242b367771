#include "python/python_call.hpp"

#include <utility>

#include "python/deferred_release.hpp"
#include "python/gil.hpp"

namespace varnex::py {

namespace {

// Calls that may run Python code (__str__, __qualname__ of a metaclass) go through
// without_thread_exit, like every call that may switch the GIL.
PyObject* str_of(PyObject* object) noexcept {
  return without_thread_exit([object] { return PyObject_Str(object); });
}
PyObject* attribute(PyObject* object, const char* name) noexcept {
  return without_thread_exit([object, name] { return PyObject_GetAttrString(object, name); });
}

// Text of a str object; an encoding failure counts as a failed str().
bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

std::string qualified_type_name(PyObject* type) {
  std::string name;
  PyRef qualname = PyRef::steal(attribute(type, "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get()) && utf8_of(qualname.get(), name)) return name;
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(type)->tp_name;
}

// The exception that is set, normalised, as a new reference; the error indicator is cleared.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

class PythonCall final : public ForeignCall {
 public:
  PythonCall(PyRef func, PyRef args) : func_(func.release()), args_(args.release()) {}

  // Whoever drops the call last may not hold the GIL (a runtime worker after a skipped call).
  ~PythonCall() override {
    release_reference(func_);
    release_reference(args_);
  }

  CallOutcome invoke() override {
    GilGuard gil;
    if (!gil) return std::string("the interpreter is shutting down; the call was not made");
    drain_deferred_releases();
    PyObject* result = call_object(func_, args_, nullptr);
    CallOutcome outcome = result != nullptr
                              ? CallOutcome(to_foreign_value(PyRef::steal(result)))
                              : CallOutcome(take_exception_text());
    // Released here, while the GIL is held, rather than queued for later.
    release_reference(std::exchange(func_, nullptr));
    release_reference(std::exchange(args_, nullptr));
    return outcome;
  }

 private:
  PyObject* func_;  // owned
  PyObject* args_;  // owned
};

}  // namespace

std::string take_exception_text() {
  PyObject* exception = take_exception().release();
  if (exception == nullptr) return "<unknown>: <exception str() failed>";
  std::string text = qualified_type_name(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  text += ": ";
  std::string message;
  PyRef str = PyRef::steal(str_of(exception));
  if (str && utf8_of(str.get(), message)) {
    text += message;
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  // Its traceback may hold frames whose locals run __del__ when released.
  release_reference(exception);
  return text;
}

ForeignValue to_foreign_value(PyRef object) {
  return ForeignValue(object.release(), ForeignValueDeleter{&release_reference_erased});
}

std::unique_ptr<ForeignCall> make_python_call(PyRef func, PyRef args) {
  return std::make_unique<PythonCall>(std::move(func), std::move(args));
}

}  // namespace varnex::py
