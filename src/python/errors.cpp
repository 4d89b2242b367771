#include "python/errors.hpp"

#include <atomic>

namespace varnex::py {

namespace {

constinit std::atomic<PyObject*> g_internal_error{nullptr};

constexpr const char kInternalErrorDoc[] =
    "varnex 模块的内部错误（致命故障，例如共享运行时无法创建）。\n\n"
    "派生自 BaseException 而非 Exception，因此普通的 except Exception 不会吞掉它。";

void set_message(PyObject* type, std::string_view message) noexcept {
  // "replace": a message is never lost to a decoding error.
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // MemoryError is set
  PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* internal_error_type() {
  if (PyObject* type = g_internal_error.load(std::memory_order_acquire)) return type;
  PyObject* type = PyErr_NewExceptionWithDoc("varnex.InternalError", kInternalErrorDoc,
                                             PyExc_BaseException, nullptr);
  if (type == nullptr) throw PyErrOccurred{};
  // Creation runs under the import lock with the GIL held; keep the first if two ever race.
  PyObject* expected = nullptr;
  if (!g_internal_error.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
    Py_DECREF(type);
    return expected;
  }
  return type;  // the reference is kept for the life of the process
}

PyObject* exception_type(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Os:
      return PyExc_OSError;
    case ErrorKind::Value:
      return PyExc_ValueError;
    case ErrorKind::Type:
      return PyExc_TypeError;
    case ErrorKind::Runtime:
      return PyExc_RuntimeError;
    case ErrorKind::Timeout:
      return PyExc_TimeoutError;
    case ErrorKind::Permission:
      return PyExc_PermissionError;
    case ErrorKind::Fatal:
      try {
        return internal_error_type();
      } catch (const PyErrOccurred&) {
        return nullptr;
      }
  }
  return PyExc_SystemError;  // an ErrorKind value outside the enumeration
}

void set_error(const Error& error) noexcept {
  if (PyObject* type = exception_type(error.kind)) set_message(type, error.message);
}

void throw_error(const Error& error) {
  set_error(error);
  throw PyErrOccurred{};
}

void throw_python(PyObject* type, std::string_view message) {
  set_message(type, message);
  throw PyErrOccurred{};
}

PyRef new_or_throw(PyObject* new_reference) {
  if (new_reference == nullptr) throw PyErrOccurred{};
  return PyRef::steal(new_reference);
}

int ok_or_throw(int status) {
  if (status < 0) throw PyErrOccurred{};
  return status;
}

}  // namespace varnex::py
