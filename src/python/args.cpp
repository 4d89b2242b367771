#include "python/args.hpp"

#include <linux/can.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "can/provisioning.hpp"
#include "python/errors.hpp"

namespace varnex::py {

namespace {

const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

// Called with a conversion error set: a TypeError, OverflowError or ValueError gets
// "argument '<name>': " before its message; any other error is left as it is.
[[noreturn]] void throw_naming_argument(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *raw_type, *raw_exc, *raw_traceback;
  PyErr_Fetch(&raw_type, &raw_exc, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_exc, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef exc = PyRef::steal(raw_exc);
  PyRef traceback = PyRef::steal(raw_traceback);
  if (exc && traceback) PyException_SetTraceback(exc.get(), traceback.get());
#endif
  PyObject* exc_type = exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) : nullptr;
  if (exc_type != PyExc_TypeError && exc_type != PyExc_OverflowError &&
      exc_type != PyExc_ValueError) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    if (exc) PyErr_Restore(Py_NewRef(exc_type), exc.release(), nullptr);
#endif
    throw PyErrOccurred{};
  }
  if (PyRef message = PyRef::steal(PyObject_Str(exc.get()))) {
    PyErr_Format(exc_type, "argument '%s': %U", name, message.get());
  }
  throw PyErrOccurred{};
}

[[noreturn]] void throw_type_error(const char* name, const char* expected, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "argument '%s': must be %s, not %.200s", name, expected,
               Py_TYPE(obj)->tp_name);
  throw PyErrOccurred{};
}

[[noreturn]] void throw_too_big(const char* name) {
  PyErr_Format(PyExc_OverflowError, "argument '%s': int too big to convert", name);
  throw PyErrOccurred{};
}

}  // namespace

bool CallArgs::has_keywords() const noexcept {
  if (kwnames_ != nullptr) return PyTuple_GET_SIZE(kwnames_) > 0;
  return kwargs_ != nullptr && PyDict_GET_SIZE(kwargs_) > 0;
}

PyRef CallArgs::positional_tuple(const char* function) const {
  if (has_keywords()) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
    throw PyErrOccurred{};
  }
  PyRef tuple = new_or_throw(PyTuple_New(nargs_));
  for (Py_ssize_t i = 0; i < nargs_; ++i) {
    PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args_[i]));
  }
  return tuple;
}

namespace detail {

void bind_arguments(const char* function, std::size_t required, const char* const* params,
                    std::size_t count, std::size_t positional, const CallArgs& args,
                    PyObject** out) {
  const auto given = static_cast<std::size_t>(args.positional_count());
  if (given > positional) {
    if (count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zu given)", function, given);
    } else if (required == positional) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                   function, positional, plural(positional), given, given == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zu were given", function,
                   required, positional, given);
    }
    throw PyErrOccurred{};
  }
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = i < given ? args.positional(static_cast<Py_ssize_t>(i)) : nullptr;
  }
  args.for_each_keyword([&](PyObject* key, PyObject* value) {
    for (std::size_t i = 0; i < count; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
        if (out[i] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                       params[i]);
          throw PyErrOccurred{};
        }
        out[i] = value;
        return;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
    throw PyErrOccurred{};
  });
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   params[i], i + 1);
      throw PyErrOccurred{};
    }
  }
}

}  // namespace detail

void bind_none(const char* function, const CallArgs& args) {
  detail::bind_arguments(function, 0, nullptr, 0, 0, args, nullptr);
}

std::uint64_t to_u64(PyObject* obj, const char* name) {
  if (PyLong_Check(obj)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_naming_argument(name);
    return v;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));  // __index__; refuses float and str
  if (!index) throw_naming_argument(name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_naming_argument(name);
  return v;
}

std::uint32_t to_u32(PyObject* obj, const char* name) {
  const std::uint64_t v = to_u64(obj, name);
  if (v > std::numeric_limits<std::uint32_t>::max()) throw_too_big(name);
  return static_cast<std::uint32_t>(v);
}

std::uint8_t to_u8(PyObject* obj, const char* name) {
  const std::uint64_t v = to_u64(obj, name);
  if (v > std::numeric_limits<std::uint8_t>::max()) throw_too_big(name);
  return static_cast<std::uint8_t>(v);
}

std::optional<std::chrono::nanoseconds> to_limit_from_millis(PyObject* obj, const char* name) {
  const std::uint64_t ms = to_u64(obj, name);
  using Rep = std::chrono::nanoseconds::rep;
  constexpr auto kMaxMs = static_cast<std::uint64_t>(std::numeric_limits<Rep>::max()) / 1'000'000;
  if (ms > kMaxMs) return std::nullopt;
  return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

std::optional<std::chrono::nanoseconds> to_optional_limit_from_millis(PyObject* obj,
                                                                      const char* name) {
  if (is_none(obj)) return std::nullopt;
  return to_limit_from_millis(obj, name);
}

std::optional<rt::Instant> deadline_from_seconds(PyObject* timeout) {
  using std::chrono::nanoseconds;
  if (timeout == nullptr || timeout == Py_None) return std::nullopt;
  const double seconds = to_f64(timeout, "timeout");
  if (std::isnan(seconds)) throw_python(PyExc_ValueError, "timeout must not be NaN");
  if (seconds <= 0) return rt::Clock::now();
  const double ns = seconds * 1e9;
  if (ns >= static_cast<double>(nanoseconds::max().count())) return std::nullopt;
  return rt::deadline_after(nanoseconds(static_cast<std::int64_t>(ns)));
}

std::chrono::nanoseconds to_duration_from_seconds(PyObject* obj, const char* name) {
  const double seconds = to_f64(obj, name);
  if (!std::isfinite(seconds) || seconds < 0) {
    throw_error(
        Error::value(std::string(name) + " must be a finite number of seconds, zero or more"));
  }
  return std::chrono::nanoseconds(static_cast<int64_t>(std::min(seconds * 1e9, 9e18)));
}

double to_f64(PyObject* obj, const char* name) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_naming_argument(name);
  return v;
}

float to_f32(PyObject* obj, const char* name) { return static_cast<float>(to_f64(obj, name)); }

bool to_bool(PyObject* obj, const char* name) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // NumPy's scalar booleans (numpy.bool_ before NumPy 2, numpy.bool since).
  const char* type_name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
    return ok_or_throw(PyObject_IsTrue(obj)) != 0;
  }
  throw_type_error(name, "bool", obj);
}

uint32_t to_error_classes(PyObject* obj, const char* name) {
  if (obj == nullptr) return 0;
  return to_bool(obj, name) ? CAN_ERR_MASK : 0;
}

std::string to_string(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) throw_type_error(name, "str", obj);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw_naming_argument(name);
  // Every str the module takes ends up as a C string (an interface name given to the kernel and
  // to `ip`): a NUL would silently cut it, so it is refused, in the interpreter's own words.
  if (std::memchr(utf8, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    throw PyErrOccurred{};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::vector<std::uint8_t> to_bytes(PyObject* obj, const char* name) {
  if (PyBytes_Check(obj)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    return {p, p + PyBytes_GET_SIZE(obj)};
  }
  if (PyByteArray_Check(obj)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
    return {p, p + PyByteArray_GET_SIZE(obj)};
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    throw_type_error(name, "a sequence of ints in 0..255", obj);
  }
  // A tuple snapshot that holds a reference to every item: an item's __index__ may clear or
  // grow a list, which would free the array a list-backed view points into.
  PyRef items = PyRef::steal(PySequence_Tuple(obj));
  if (!items) throw_naming_argument(name);
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(to_u8(PyTuple_GET_ITEM(items.get(), i), name));
  return out;
}

namespace {

[[noreturn]] void throw_filter_error(PyObject* type, const char* name, Py_ssize_t index,
                                     const char* what) {
  PyErr_Format(type, "%s[%zd]: %s", name, index, what);
  throw PyErrOccurred{};
}

// An identifier or mask: an int (bool refused: True is no mask anyone means); a negative one or
// one beyond 64 bits is out of range here, the rest is checked by make_can_filters.
std::uint64_t filter_word(PyObject* obj, const char* name, Py_ssize_t index, const char* field) {
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s[%zd]: %s must be an int, not %.200s", name, index, field,
                 Py_TYPE(obj)->tp_name);
    throw PyErrOccurred{};
  }
  PyRef value = new_or_throw(PyNumber_Index(obj));
  const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrOccurred{};
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s[%zd]: %s must be 0 to 0x1FFFFFFF (29 bits), got %R", name,
                 index, field, value.get());
    throw PyErrOccurred{};
  }
  return v;
}

CanFilterSpec filter_from_dict(PyObject* dict, const char* name, Py_ssize_t index) {
  // A snapshot: converting a value may run Python code that changes the dict.
  PyRef items = new_or_throw(PyDict_Items(dict));
  PyObject *can_id = nullptr, *can_mask = nullptr, *extended = nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "can_id") == 0) {
      can_id = value;
    } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "can_mask") == 0) {
      can_mask = value;
    } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "extended") == 0) {
      extended = value;
    } else {
      // A misspelt key would otherwise leave a filter wider than meant.
      PyErr_Format(PyExc_ValueError,
                   "%s[%zd]: unknown key %R (the keys are 'can_id', 'can_mask' and 'extended')",
                   name, index, key);
      throw PyErrOccurred{};
    }
  }
  if (can_id == nullptr) throw_filter_error(PyExc_ValueError, name, index, "no 'can_id'");
  if (can_mask == nullptr) throw_filter_error(PyExc_ValueError, name, index, "no 'can_mask'");
  CanFilterSpec spec{filter_word(can_id, name, index, "can_id"),
                     filter_word(can_mask, name, index, "can_mask"), std::nullopt};
  if (extended != nullptr) {
    if (!PyBool_Check(extended)) {
      PyErr_Format(PyExc_TypeError, "%s[%zd]: extended must be a bool, not %.200s", name, index,
                   Py_TYPE(extended)->tp_name);
      throw PyErrOccurred{};
    }
    spec.extended = extended == Py_True;
  }
  return spec;
}

}  // namespace

CanFilters to_can_filters(PyObject* obj, const char* name) {
  if (is_none(obj)) return std::nullopt;
  // A snapshot of the items, each held: converting one may run Python code.
  const bool refused = PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
                       PyDict_Check(obj);  // iterable, but never a list of filters
  PyRef items = refused ? PyRef() : PyRef::steal(PySequence_Tuple(obj));
  if (!items) {
    if (!refused && !PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrOccurred{};
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': must be None or a sequence of filters (dicts with 'can_id' and "
                 "'can_mask', or (can_id, can_mask) pairs), not %.200s",
                 name, Py_TYPE(obj)->tp_name);
    throw PyErrOccurred{};
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  std::vector<CanFilterSpec> specs;
  specs.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (PyDict_Check(item)) {
      specs.push_back(filter_from_dict(item, name, i));
    } else if ((PyTuple_Check(item) || PyList_Check(item)) && PySequence_Size(item) == 2) {
      PyRef pair = new_or_throw(PySequence_Tuple(item));
      specs.push_back({filter_word(PyTuple_GET_ITEM(pair.get(), 0), name, i, "can_id"),
                       filter_word(PyTuple_GET_ITEM(pair.get(), 1), name, i, "can_mask"),
                       std::nullopt});
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s[%zd]: must be a dict with 'can_id' and 'can_mask' or a (can_id, can_mask) "
                   "pair, not %.200s",
                   name, i, Py_TYPE(item)->tp_name);
      throw PyErrOccurred{};
    }
  }
  return unwrap(make_can_filters(specs));
}

std::uint32_t to_can_bitrate(PyObject* obj, const char* name) {
  if (is_none(obj)) return kCanBitrate;
  // True would pass as 1 (and is surely a mistake); a float such as 5e5 is refused like any
  // other non-integer.
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) throw_type_error(name, "int or None", obj);
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) throw_naming_argument(name);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw_naming_argument(name);
  if (overflow != 0) {
    PyRef shown = PyRef::steal(PyObject_Str(index.get()));
    const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (text == nullptr) throw PyErrOccurred{};
    throw_error(unsupported_bitrate_error(text));
  }
  return unwrap(check_can_bitrate(v));
}

}  // namespace varnex::py
