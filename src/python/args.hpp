// Arguments: binding a call's arguments to the names of the text signature, and converting them.
//
//   constexpr Signature kWaitAll{"wait_all", 0, {"timeout_ms"}};     // name, required, params
//   PyRef wait_all(PyObject* self, const CallArgs& args) {
//     auto [timeout] = bind(kWaitAll, args);                          // borrowed, null if omitted
//     auto limit = to_optional_limit_from_millis(timeout, "timeout_ms");   // a duration or none
//     ...
//   }
//
// Every parameter may be given by position or by keyword. bind() raises TypeError for too many
// positional arguments, a missing required argument, an unknown keyword, or a parameter given
// twice. Converters raise TypeError or OverflowError naming the argument, for example
// "argument 'id': can't convert negative int to unsigned". Convert in signature order so the
// first bad argument is the one reported.
#pragma once

#include <Python.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "can/can_filter.hpp"
#include "python/py_ref.hpp"
#include "runtime/clock.hpp"

namespace varnex::py {

// The arguments of one call, in either of CPython's two calling conventions. Borrowed.
class CallArgs {
 public:
  // METH_FASTCALL | METH_KEYWORDS / vectorcall: positional values, then the keyword values
  // whose names are in the kwnames tuple.
  static CallArgs vectorcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return CallArgs(args, PyVectorcall_NARGS(static_cast<size_t>(nargs)), kwnames, nullptr);
  }
  // tp_new / tp_call: an argument tuple and an optional keyword dict.
  static CallArgs tuple_and_dict(PyObject* args, PyObject* kwargs) noexcept {
    return CallArgs(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, kwargs);
  }

  Py_ssize_t positional_count() const noexcept { return nargs_; }
  PyObject* positional(Py_ssize_t i) const noexcept { return args_[i]; }
  bool has_keywords() const noexcept;

  // For callables that take *args: the positional arguments as a new tuple, after refusing any
  // keyword argument ("<function>() takes no keyword arguments").
  PyRef positional_tuple(const char* function) const;

  // Calls fn(name, value) for each keyword argument (both borrowed).
  template <class Fn>
  void for_each_keyword(Fn&& fn) const {
    if (kwnames_ != nullptr) {
      const Py_ssize_t n = PyTuple_GET_SIZE(kwnames_);
      for (Py_ssize_t i = 0; i < n; ++i) fn(PyTuple_GET_ITEM(kwnames_, i), args_[nargs_ + i]);
    } else if (kwargs_ != nullptr) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs_, &pos, &key, &value)) fn(key, value);
    }
  }

 private:
  CallArgs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* kwargs) noexcept
      : args_(args), nargs_(nargs), kwnames_(kwnames), kwargs_(kwargs) {}

  PyObject* const* args_;
  Py_ssize_t nargs_;
  PyObject* kwnames_;  // vectorcall form
  PyObject* kwargs_;   // tuple-and-dict form
};

// The parameters of a text signature: the function's name (for messages), how many leading
// parameters are required, every parameter name in order, and how many leading ones may be
// given by position (the rest are keyword-only, after a "*" in the text signature).
inline constexpr std::size_t kAllPositional = static_cast<std::size_t>(-1);
template <std::size_t N>
struct Signature {
  const char* function;
  std::size_t required;
  std::array<const char*, N> params;
  std::size_t positional = kAllPositional;
};
template <std::size_t N>
Signature(const char*, std::size_t, const char* const (&)[N]) -> Signature<N>;
template <std::size_t N>
Signature(const char*, std::size_t, const char* const (&)[N], std::size_t) -> Signature<N>;

namespace detail {
void bind_arguments(const char* function, std::size_t required, const char* const* params,
                    std::size_t count, std::size_t positional, const CallArgs& args,
                    PyObject** out);
}

// The argument for each parameter, borrowed; null where an optional one was omitted.
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& sig, const CallArgs& args) {
  std::array<PyObject*, N> out{};
  detail::bind_arguments(sig.function, sig.required, sig.params.data(), N,
                         sig.positional < N ? sig.positional : N, args, out.data());
  return out;
}
// A call that takes no arguments (for a constructor such as "TaskManager()").
void bind_none(const char* function, const CallArgs& args);

// ---- conversions; `name` is the parameter name used in error messages ----

// Integers: int or any object with __index__ (bool included, float refused).
std::uint8_t to_u8(PyObject* obj, const char* name);
std::uint32_t to_u32(PyObject* obj, const char* name);
std::uint64_t to_u64(PyObject* obj, const char* name);
// A time limit in milliseconds, 0 .. 2**64-1 as to_u64, as the duration the core takes; one too
// long for the clock (past about 292 years) comes out as none, which the core reads as no limit.
// The one place where Python's milliseconds become durations.
std::optional<std::chrono::nanoseconds> to_limit_from_millis(PyObject* obj, const char* name);
// The same where None (or omitted) means no limit.
std::optional<std::chrono::nanoseconds> to_optional_limit_from_millis(PyObject* obj,
                                                                      const char* name);
// A `timeout` argument in seconds (float or int) as a deadline: None (or absent) is none; zero
// or less is now (look, do not wait). ValueError for NaN.
std::optional<rt::Instant> deadline_from_seconds(PyObject* timeout);
// Seconds as a duration: a finite number, zero or more (ValueError otherwise).
std::chrono::nanoseconds to_duration_from_seconds(PyObject* obj, const char* name);
// CPython's float conversion: float, int, __float__, __index__.
double to_f64(PyObject* obj, const char* name);
// to_f64 narrowed to 32 bits (large values become infinities).
float to_f32(PyObject* obj, const char* name);
// Only True and False (and NumPy booleans); 0 and 1 are refused.
bool to_bool(PyObject* obj, const char* name);
// str, as UTF-8.
std::string to_string(PyObject* obj, const char* name);
// bytes, bytearray, or any sequence of ints in 0..255 (list, tuple, ...); str is refused.
std::vector<std::uint8_t> to_bytes(PyObject* obj, const char* name);

// Receive filters: None (or omitted) means every frame; otherwise a sequence (any iterable but
// str, bytes, bytearray and dict) of dicts {"can_id": int, "can_mask": int, "extended": bool}
// ("extended" optional) or (can_id, can_mask) pairs, checked by make_can_filters. A wrong type
// raises TypeError, a missing or unknown key or a value out of range ValueError, each naming
// the filter ("filters[2]: ...").
CanFilters to_can_filters(PyObject* obj, const char* name);

// The error_frames= of the CAN devices: omitted or False, no error frame reaches a receive (0);
// True, every class does (CAN_ERR_MASK). Anything but a bool raises TypeError.
uint32_t to_error_classes(PyObject* obj, const char* name);

// A CAN bit rate: None (or omitted) is kCanBitrate; otherwise an int (or __index__) that
// check_can_bitrate accepts, else its ValueError, whatever the int's size. bool and every
// other type raise TypeError.
std::uint32_t to_can_bitrate(PyObject* obj, const char* name);

// True when an optional argument was omitted or is None.
inline bool is_none(PyObject* obj) noexcept { return obj == nullptr || obj == Py_None; }

// An optional argument: nullopt when omitted or None, else convert(obj, name).
template <class Convert>
auto to_optional(PyObject* obj, const char* name, Convert convert)
    -> std::optional<decltype(convert(obj, name))> {
  if (is_none(obj)) return std::nullopt;
  return convert(obj, name);
}

}  // namespace varnex::py
