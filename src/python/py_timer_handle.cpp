#include "python/py_timer_handle.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/context_manager.hpp"
#include "python/docstring.hpp"
#include "python/errors.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/timer_call.hpp"
#include "python/values.hpp"
#include "tasks/task_id.hpp"
#include "tasks/timer_engine.hpp"

namespace varnex::py {

namespace {

// The state is the core handle; its drop policy runs when the object is deallocated.
using TimerHandleObject = Object<TimerHandle>;

PyRef stop(PyObject* self) {
  TimerHandleObject::shared(self)->stop();
  return none();
}
PyRef is_running(PyObject* self) { return py_bool(TimerHandleObject::shared(self)->is_running()); }
PyRef frequency(PyObject* self) { return py_float(TimerHandleObject::shared(self)->frequency()); }
PyRef precision_mode(PyObject* self) {
  return py_str(lower_name(TimerHandleObject::shared(self)->precision()));
}
PyRef tick_count(PyObject* self) { return py_int(TimerHandleObject::shared(self)->tick_count()); }
PyRef actual_frequency(PyObject* self) {
  return py_float(TimerHandleObject::shared(self)->actual_frequency());
}
PyRef elapsed_secs(PyObject* self) {
  return py_float(TimerHandleObject::shared(self)->elapsed_secs());
}
PyRef task_id(PyObject* self) { return py_int(TimerHandleObject::shared(self)->task_id()); }
PyRef error_count(PyObject* self) { return py_int(TimerHandleObject::shared(self)->error_count()); }
PyRef last_error(PyObject* self) {
  const std::optional<std::string> text = TimerHandleObject::shared(self)->last_error();
  return text ? py_str(*text) : none();
}

PyRef repr(PyObject* self) { return py_str(TimerHandleObject::shared(self)->repr()); }

PyMethodDef methods[] = {
    method<stop>("stop", doc<"stop($self)\n--\n\n"
                             "停止定时器。",
                             "TimerHandle.stop">()),
    method<is_running>("is_running", doc<"is_running($self)\n--\n\n"
                                         "定时器是否仍在运行。",
                                         "TimerHandle.is_running">()),
    method<frequency>("frequency", doc<"frequency($self)\n--\n\n"
                                       "返回设定的执行频率（Hz），不是实测频率。",
                                       "TimerHandle.frequency">()),
    method<precision_mode>("precision_mode",
                           doc<"precision_mode($self)\n--\n\n"
                               "返回精度模式：\"normal\"、\"high\" 或 \"realtime\"。",
                               "TimerHandle.precision_mode">()),
    method<tick_count>("tick_count", doc<"tick_count($self)\n--\n\n"
                                         "返回已执行的次数（包括抛出异常的调用）。",
                                         "TimerHandle.tick_count">()),
    method<actual_frequency>("actual_frequency",
                             doc<"actual_frequency($self)\n--\n\n"
                                 "返回实际平均频率（Hz）：执行次数除以运行时间。",
                                 "TimerHandle.actual_frequency">()),
    method<elapsed_secs>("elapsed_secs", doc<"elapsed_secs($self)\n--\n\n"
                                             "返回自定时器启动以来的运行时间（秒）。",
                                             "TimerHandle.elapsed_secs">()),
    enter_method(doc<"__enter__($self)\n--\n\n", "TimerHandle.__enter__">()),
    exit_method<stop>(
        doc<"__exit__($self, exc_type, exc_value, traceback)\n--\n\n", "TimerHandle.__exit__">()),
    {},
};

PyGetSetDef properties[] = {
    property<task_id>("task_id", doc<"获取任务 ID。", "TimerHandle.task_id">()),
    property<error_count>("error_count", doc<"", "TimerHandle.error_count">()),
    property<last_error>("last_error", doc<"", "TimerHandle.last_error">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, doc<"定时器任务句柄，用于控制周期执行的函数。", "TimerHandle">()),
    slot(Py_tp_dealloc, &TimerHandleObject::dealloc),
    slot(Py_tp_repr, &unary_slot<repr>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<TimerHandle>("varnex.TimerHandle", kClassFlags | kNoConstructor, slots);

}  // namespace

PyTypeObject* timer_handle_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

namespace {

// Out-of-range values are left for check_thread_scheduling to name: a huge one reads as the
// largest int.
std::optional<int> to_small_int(PyObject* obj, const char* name) {
  if (is_none(obj)) return std::nullopt;
  const std::uint32_t value = to_u32(obj, name);
  return value > static_cast<std::uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(value);
}

}  // namespace

ThreadScheduling to_thread_scheduling(PyObject* priority, PyObject* cpu) {
  ThreadScheduling scheduling;
  scheduling.priority = to_small_int(priority, "priority");
  scheduling.cpu = to_small_int(cpu, "cpu");
  return scheduling;
}

PyRef wrap_timer_handle(TimerHandle handle) {
  // A failed allocation leaves `handle` here, not adopted: its start is rolled back.
  PyRef object = TimerHandleObject::create(timer_handle_type(), std::move(handle));
  TimerHandleObject::of(object.get())->value.adopt();
  return object;
}

PyRef start_timer(PyObject* func, PyRef args, double frequency_hz, TimerPrecision precision,
                  const ThreadScheduling& scheduling) {
  const std::uint64_t id = next_task_id();
  PyRef func_ref = PyRef::from_borrowed(func);
  const std::chrono::nanoseconds period = unwrap(period_from_frequency(frequency_hz));
  warn_if_coroutine_function(func);

  timer_handle_type();  // created before anything starts
  auto errors = std::make_shared<TimerErrors>(id, callable_name(func));
  std::shared_ptr<TickCallback> callback =
      precision == TimerPrecision::Normal
          ? make_pool_timer_call(std::move(func_ref), std::move(args), errors)
          : make_thread_timer_call(std::move(func_ref), std::move(args), errors);
  TimerStart start{id, frequency_hz, precision, period, scheduling, std::move(errors)};
  return wrap_timer_handle(unwrap(varnex::start_timer(std::move(start), std::move(callback))));
}

}  // namespace varnex::py
