// The timer decorators: timer() / Timer, precision_timer() / PrecisionTimer, and the
// TimerWrapper they return, whose call starts a timer (py_timer_handle.cpp).
#include <cstddef>
#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/errors.hpp"
#include "python/function_identity.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/py_timer_handle.hpp"
#include "python/values.hpp"
#include "tasks/timer_format.hpp"
#include "tasks/timer_period.hpp"
#include "tasks/timer_thread.hpp"

namespace varnex::py {

namespace {

// ---- TimerWrapper ----

struct TimerWrapperState {
  WrappedFunction wrapped;
  double frequency;
  TimerPrecision precision;
  ThreadScheduling scheduling;  // of the timer thread (precision timers only)

  int traverse(visitproc visit, void* arg) { return wrapped.traverse(visit, arg); }
  void clear() { wrapped.clear(); }
};
using TimerWrapperObject = Object<TimerWrapperState>;

PyRef wrapper_call(PyObject* self, const CallArgs& args) {
  PyRef call_args = args.positional_tuple("TimerWrapper");
  PyRef func;
  double frequency;
  TimerPrecision precision;
  ThreadScheduling scheduling;
  {
    auto w = TimerWrapperObject::shared(self);
    func = w->wrapped.func.new_reference();
    frequency = w->frequency;
    precision = w->precision;
    scheduling = w->scheduling;
  }
  if (!func) throw_python(PyExc_RuntimeError, "the timer function of this wrapper was cleared");
  return start_timer(func.get(), std::move(call_args), frequency, precision, scheduling);
}

PyRef wrapper_repr(PyObject* self) {
  auto w = TimerWrapperObject::shared(self);
  return py_str("TimerWrapper(frequency=" + format_shortest_positional(w->frequency) +
                "Hz, mode=" + lower_name(w->precision) + ")");
}

PyType_Slot wrapper_slots[] = {
    slot(Py_tp_doc, doc<"被包装的定时器函数。", "TimerWrapper">()),
    slot(Py_tp_call, &call_slot<wrapper_call>),
    slot(Py_tp_repr, &unary_slot<wrapper_repr>),
    slot(Py_tp_dealloc, &TimerWrapperObject::dealloc),
    VARNEX_WRAPPED_FUNCTION_SLOTS(TimerWrapperObject),
    {0, nullptr},
};
PyType_Spec wrapper_spec = object_spec<TimerWrapperState>(
    "varnex.TimerWrapper", kClassFlags | kNoConstructor | Py_TPFLAGS_HAVE_GC, wrapper_slots);

PyRef make_wrapper(PyObject* func, double frequency, TimerPrecision precision,
                   const char* not_callable, ThreadScheduling scheduling = {}) {
  if (!PyCallable_Check(func)) throw_python(PyExc_TypeError, not_callable);
  // A decorated function keeps its name, doc and signature; a decorated method's ticks get self.
  return wrap_function(func, [&](WrappedFunction wrapped) {
    return TimerWrapperObject::create(
        timer_wrapper_type(),
        TimerWrapperState{std::move(wrapped), frequency, precision, scheduling});
  });
}

// ---- Timer ----

struct TimerState {
  double frequency;
};
using TimerObject = Object<TimerState>;

PyRef make_timer(PyTypeObject* type, PyObject* frequency_hz) {
  const double hz = to_f64(frequency_hz, "frequency_hz");
  check(check_timer_frequency(hz, TimerPrecision::Normal));
  return TimerObject::create(type, TimerState{hz});
}

constexpr Signature kTimerNew{"Timer", 1, {"frequency_hz"}};
PyRef timer_new(PyTypeObject* type, const CallArgs& args) {
  auto [frequency_hz] = bind(kTimerNew, args);
  return make_timer(type, frequency_hz);
}

constexpr Signature kDecorate{"__call__", 1, {"func"}};
PyRef timer_call(PyObject* self, const CallArgs& args) {
  auto [func] = bind(kDecorate, args);
  const double hz = TimerObject::shared(self)->frequency;
  return make_wrapper(func, hz, TimerPrecision::Normal, "timer decorator requires a callable");
}

PyType_Slot timer_slots[] = {
    slot(Py_tp_doc, doc<"Timer(frequency_hz)\n--\n\n"
                        "普通精度定时器装饰器。",
                        "Timer">()),
    slot(Py_tp_new, &new_slot<timer_new>),
    slot(Py_tp_call, &call_slot<timer_call>),
    slot(Py_tp_dealloc, &TimerObject::dealloc),
    {0, nullptr},
};
PyType_Spec timer_spec = object_spec<TimerState>("varnex.Timer", kClassFlags, timer_slots);

constexpr Signature kTimerFunction{"timer", 1, {"frequency_hz"}};
PyRef timer_factory(PyObject*, const CallArgs& args) {
  auto [frequency_hz] = bind(kTimerFunction, args);
  return make_timer(timer_type(), frequency_hz);
}

// ---- PrecisionTimer ----

struct PrecisionTimerState {
  double frequency;
  bool realtime;
  bool adaptive_spin;
  ThreadScheduling scheduling;
};
using PrecisionTimerObject = Object<PrecisionTimerState>;

TimerPrecision precision_of(bool realtime) {
  return realtime ? TimerPrecision::Realtime : TimerPrecision::High;
}

// spin="fixed": the mode's whole window before every deadline; spin="adaptive": only as long
// as the timer thread's sleeps have been late, that window at most.
bool adaptive_spin_of(const std::string& spin) {
  if (spin == "fixed") return false;
  if (spin == "adaptive") return true;
  throw_error(Error::value("spin must be 'fixed' or 'adaptive'"));
}

PyRef make_precision_timer(PyTypeObject* type, PyObject* frequency_hz, PyObject* realtime_arg,
                           PyObject* spin_arg, PyObject* priority, PyObject* cpu) {
  const double hz = to_f64(frequency_hz, "frequency_hz");
  const bool realtime = realtime_arg == nullptr ? false : to_bool(realtime_arg, "realtime");
  const std::string spin = spin_arg == nullptr ? "fixed" : to_string(spin_arg, "spin");
  const ThreadScheduling scheduling = to_thread_scheduling(priority, cpu);
  check(check_timer_frequency(hz, precision_of(realtime)));
  const bool adaptive = adaptive_spin_of(spin);
  check(check_thread_scheduling(scheduling));
  return PrecisionTimerObject::create(type,
                                      PrecisionTimerState{hz, realtime, adaptive, scheduling});
}

constexpr Signature kPrecisionNew{
    "PrecisionTimer", 1, {"frequency_hz", "realtime", "spin", "priority", "cpu"}, 3};
PyRef precision_timer_new(PyTypeObject* type, const CallArgs& args) {
  auto [frequency_hz, realtime, spin, priority, cpu] = bind(kPrecisionNew, args);
  return make_precision_timer(type, frequency_hz, realtime, spin, priority, cpu);
}

PyRef precision_timer_call(PyObject* self, const CallArgs& args) {
  auto [func] = bind(kDecorate, args);
  double hz;
  TimerPrecision precision;
  ThreadScheduling scheduling;
  {
    auto p = PrecisionTimerObject::shared(self);
    hz = p->frequency;
    precision = precision_of(p->realtime);
    if (p->adaptive_spin) precision = with_adaptive_spin(precision);
    scheduling = p->scheduling;
  }
  return make_wrapper(func, hz, precision, "precision_timer decorator requires a callable",
                      scheduling);
}

PyType_Slot precision_timer_slots[] = {
    slot(
        Py_tp_doc,
        doc<"PrecisionTimer(frequency_hz, realtime=False, spin='fixed', *, priority=None, cpu=None)"
            "\n--\n\n"
            "高精度定时器装饰器。",
            "PrecisionTimer">()),
    slot(Py_tp_new, &new_slot<precision_timer_new>),
    slot(Py_tp_call, &call_slot<precision_timer_call>),
    slot(Py_tp_dealloc, &PrecisionTimerObject::dealloc),
    {0, nullptr},
};
PyType_Spec precision_timer_spec =
    object_spec<PrecisionTimerState>("varnex.PrecisionTimer", kClassFlags, precision_timer_slots);

constexpr Signature kPrecisionFunction{
    "precision_timer", 1, {"frequency_hz", "realtime", "spin", "priority", "cpu"}, 3};
PyRef precision_timer_factory(PyObject*, const CallArgs& args) {
  auto [frequency_hz, realtime, spin, priority, cpu] = bind(kPrecisionFunction, args);
  return make_precision_timer(precision_timer_type(), frequency_hz, realtime, spin, priority, cpu);
}

}  // namespace

PyTypeObject* timer_type() {
  static constinit ProcessType type;
  return type.get(timer_spec);
}

PyTypeObject* precision_timer_type() {
  static constinit ProcessType type;
  return type.get(precision_timer_spec);
}

PyTypeObject* timer_wrapper_type() {
  static constinit ProcessType type;
  return type.get(wrapper_spec);
}

PyMethodDef timer_function =
    function<timer_factory>("timer", doc<"timer(frequency_hz)\n--\n\n"
                                         "普通精度定时器装饰器（精度约 1–10 ms）。",
                                         "timer">());

PyMethodDef precision_timer_function = function<precision_timer_factory>(
    "precision_timer",
    doc<"precision_timer(frequency_hz, realtime=False, spin='fixed', *, priority=None, cpu=None)"
        "\n--\n\n"
        "高精度定时器装饰器（精度约 10–100 µs，独立线程）。",
        "precision_timer">());

}  // namespace varnex::py
