#include "python/py_timer_handle.hpp"

#include <optional>
#include <string>
#include <utility>

#include "common/diagnostics.hpp"
#include "python/boundary.hpp"
#include "python/context_manager.hpp"
#include "python/errors.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/timer_call.hpp"
#include "python/values.hpp"
#include "tasks/task_id.hpp"
#include "tasks/task_registry.hpp"
#include "tasks/timer_engine.hpp"
#include "tasks/timer_format.hpp"

namespace varnex::py {

namespace {

// The handle's share of the run state. Destroying it stops the timer (with a warning when it
// was still running) and releases its registry entry, which leaves once no call of it runs.
class TimerHandleState {
 public:
  TimerHandleState(std::shared_ptr<TimerRun> timer, std::uint64_t task_id, double frequency,
                   TimerPrecision precision, std::shared_ptr<TimerErrors> errors = {})
      : timer_(std::move(timer)),
        task_id_(task_id),
        frequency_(frequency),
        precision_(precision),
        errors_(std::move(errors)) {}
  TimerHandleState(const TimerHandleState&) = delete;
  TimerHandleState& operator=(const TimerHandleState&) = delete;

  ~TimerHandleState() {
    if (is_running()) {
      write_stderr("Warning: TimerHandle(id=" + std::to_string(task_id_) +
                   ") dropped while still running. Make sure to save the handle returned by "
                   "timer-decorated functions.\n");
    }
    timer_->run.request_stop();
    task_manager().release_task(task_id_);
  }

  void stop() const { timer_->run.request_stop(); }
  bool is_running() const { return !timer_->run.stop_requested(); }
  std::uint64_t tick_count() const { return timer_->tick_count.load(std::memory_order_acquire); }
  double frequency() const { return frequency_; }
  TimerPrecision precision() const { return precision_; }
  std::uint64_t task_id() const { return task_id_; }
  std::uint64_t error_count() const { return errors_ ? errors_->count() : 0; }
  std::optional<std::string> last_error() const {
    return errors_ ? errors_->last() : std::nullopt;
  }

  double elapsed_secs() const {
    const auto elapsed = rt::Clock::now() - timer_->start_time;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
    return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
  }
  // Lifetime average: falls after the timer stops.
  double actual_frequency() const {
    const double elapsed = elapsed_secs();
    if (!(elapsed > 0.0)) return 0.0;
    return static_cast<double>(tick_count()) / elapsed;
  }

 private:
  std::shared_ptr<TimerRun> timer_;
  std::uint64_t task_id_;
  double frequency_;
  TimerPrecision precision_;
  std::shared_ptr<TimerErrors> errors_;
};

using TimerHandleObject = Object<TimerHandleState>;

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
PyRef error_count(PyObject* self) {
  return py_int(TimerHandleObject::shared(self)->error_count());
}
PyRef last_error(PyObject* self) {
  const std::optional<std::string> text = TimerHandleObject::shared(self)->last_error();
  return text ? py_str(*text) : none();
}

PyRef repr(PyObject* self) {
  auto h = TimerHandleObject::shared(self);
  const std::string text = "TimerHandle(id=" + std::to_string(h->task_id()) +
                           ", freq=" + format_one_decimal(h->frequency()) +
                           "Hz, actual=" + format_one_decimal(h->actual_frequency()) +
                           "Hz, mode=" + lower_name(h->precision()) +
                           ", ticks=" + std::to_string(h->tick_count()) +
                           ", running=" + (h->is_running() ? "true" : "false") + ")";
  return py_str(text);
}

PyMethodDef methods[] = {
    method<stop>("stop", "stop($self)\n--\n\n"
                         "停止定时器。\n\n"
                         "立即返回，不等待循环退出，也不会打断正在执行的调用；"
                         "重复调用无副作用。"),
    method<is_running>("is_running", "is_running($self)\n--\n\n"
                                     "定时器是否仍在运行。"),
    method<frequency>("frequency", "frequency($self)\n--\n\n"
                                   "返回设定的执行频率（Hz），不是实测频率。"),
    method<precision_mode>("precision_mode", "precision_mode($self)\n--\n\n"
                                             "返回精度模式：\"normal\"、\"high\" 或 \"realtime\"。"),
    method<tick_count>("tick_count", "tick_count($self)\n--\n\n"
                                     "返回已执行的次数（包括抛出异常的调用）。"),
    method<actual_frequency>("actual_frequency", "actual_frequency($self)\n--\n\n"
                                                 "返回实际平均频率（Hz）：执行次数除以运行时间。"),
    method<elapsed_secs>("elapsed_secs", "elapsed_secs($self)\n--\n\n"
                                         "返回自定时器启动以来的运行时间（秒）。"),
    enter_method(),
    exit_method<stop>("__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                      "Stop the timer, as stop() does."),
    {},
};

PyGetSetDef properties[] = {
    property<task_id>("task_id", "获取任务 ID。"),
    property<error_count>("error_count", "Number of calls of the timer function that raised."),
    property<last_error>("last_error",
                         "Text of the last error line without its \"Timer function error: \" "
                         "prefix, for example \"ZeroDivisionError: division by zero\"; None "
                         "while no call has raised."),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "定时器任务句柄，用于控制周期执行的函数。\n\n"
                    "请保存装饰后函数返回的句柄（handle = update()）：句柄被销毁时定时器随之停止。"),
    slot(Py_tp_dealloc, &TimerHandleObject::dealloc),
    slot(Py_tp_repr, &unary_slot<repr>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<TimerHandleState>("varnex.TimerHandle", kClassFlags | kNoConstructor, slots);

}  // namespace

PyTypeObject* timer_handle_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

PyRef start_timer(PyObject* func, PyRef args, double frequency_hz, TimerPrecision precision) {
  const std::uint64_t id = next_task_id();
  PyRef func_ref = PyRef::from_borrowed(func);
  const std::chrono::nanoseconds period = unwrap(period_from_frequency(frequency_hz));
  warn_if_coroutine_function(func);

  PyTypeObject* handle_type = timer_handle_type();
  auto errors = std::make_shared<TimerErrors>();
  std::shared_ptr<TickCallback> callback =
      precision == TimerPrecision::Normal
          ? make_pool_timer_call(std::move(func_ref), std::move(args), errors)
          : make_thread_timer_call(std::move(func_ref), std::move(args), errors);
  std::shared_ptr<TimerRun> timer =
      unwrap(varnex::start_timer(id, precision, period, std::move(callback)));
  try {
    return TimerHandleObject::create(handle_type, timer, id, frequency_hz, precision,
                                     std::move(errors));
  } catch (...) {
    timer->run.request_stop();
    task_manager().unregister_task(id);
    throw;
  }
}

}  // namespace varnex::py
