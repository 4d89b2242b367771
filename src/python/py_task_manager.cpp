#include "python/py_task_manager.hpp"

#include <functional>

#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/values.hpp"
#include "tasks/task_manager.hpp"

namespace varnex::py {

namespace {

// The class holds no state: every instance shows the process-wide registry.
struct TaskManagerView {};
using TaskManagerObject = Object<TaskManagerView>;

PyRef new_task_manager(PyTypeObject* type, const CallArgs& args) {
  bind_none("TaskManager", args);
  return TaskManagerObject::create(type);
}

PyRef stop_all(PyObject*) {
  task_manager().stop_all();
  return none();
}

constexpr Signature kWaitAll{"wait_all", 0, {"timeout_ms"}};
PyRef wait_all(PyObject*, const CallArgs& args) {
  auto [timeout_ms] = bind(kWaitAll, args);
  const auto limit = to_optional_limit_from_millis(timeout_ms, "timeout_ms");
  return py_bool(wait_all_without_gil(limit, /*stop_first=*/false));
}

constexpr Signature kShutdown{"shutdown", 0, {"timeout_ms"}};
PyRef shutdown(PyObject*, const CallArgs& args) {
  auto [timeout_ms] = bind(kShutdown, args);
  const auto limit = to_optional_limit_from_millis(timeout_ms, "timeout_ms");
  return py_bool(wait_all_without_gil(limit, /*stop_first=*/true));
}

PyRef cleanup(PyObject*) {
  task_manager().cleanup();
  return none();
}

PyRef status(PyObject*) {
  const StatusSummary s = task_manager().status_summary();
  PyRef dict = new_or_throw(PyDict_New());
  dict_set(dict.get(), "running_timers", py_int(s.running_timers));
  dict_set(dict.get(), "running_tasks", py_int(s.running_tasks));
  dict_set(dict.get(), "stopped", py_int(s.stopped));
  dict_set(dict.get(), "total", py_int(s.total));
  return dict;
}

PyRef running_count(PyObject*) { return py_int(task_manager().running_count()); }
PyRef total_count(PyObject*) { return py_int(task_manager().total_count()); }
PyRef timer_count(PyObject*) { return py_int(task_manager().timer_count()); }
PyRef async_task_count(PyObject*) { return py_int(task_manager().async_task_count()); }

PyRef repr(PyObject*) {
  const StatusSummary s = task_manager().status_summary();
  return new_or_throw(
      PyUnicode_FromFormat("TaskManager(timers=%zu, tasks=%zu, stopped=%zu, total=%zu)",
                           s.running_timers, s.running_tasks, s.stopped, s.total));
}

PyMethodDef methods[] = {
    method<stop_all>("stop_all", doc<"stop_all($self)\n--\n\n"
                                     "停止所有任务。",
                                     "TaskManager.stop_all">()),
    method<wait_all>("wait_all", doc<"wait_all($self, timeout_ms=None)\n--\n\n"
                                     "等待所有任务结束。",
                                     "TaskManager.wait_all">()),
    method<shutdown>("shutdown", doc<"shutdown($self, timeout_ms=None)\n--\n\n"
                                     "优雅关闭：先停止所有任务，再等待它们结束。",
                                     "TaskManager.shutdown">()),
    method<cleanup>("cleanup",
                    doc<"cleanup($self)\n--\n\n"
                        "清理已结束的任务：从注册表中移除所有已停止的条目，运行中的条目保留。",
                        "TaskManager.cleanup">()),
    method<status>("status", doc<"status($self)\n--\n\n"
                                 "获取任务状态。",
                                 "TaskManager.status">()),
    {},
};

PyGetSetDef properties[] = {
    property<running_count>("running_count",
                            doc<"运行中的任务数量。", "TaskManager.running_count">()),
    property<total_count>("total_count",
                          doc<"全部任务数量（包括已停止的任务）。", "TaskManager.total_count">()),
    property<timer_count>("timer_count", doc<"运行中的定时器数量。", "TaskManager.timer_count">()),
    property<async_task_count>("async_task_count",
                               doc<"运行中的后台任务数量。", "TaskManager.async_task_count">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, doc<"TaskManager()\n--\n\n"
                        "可从 Python 访问的任务管理器。",
                        "TaskManager">()),
    slot(Py_tp_new, &new_slot<new_task_manager>),
    slot(Py_tp_dealloc, &TaskManagerObject::dealloc),
    slot(Py_tp_repr, &unary_slot<repr>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    {0, nullptr},
};

PyType_Spec spec = object_spec<TaskManagerView>("varnex.TaskManager", kClassFlags, slots);

PyRef get_task_manager(PyObject*) { return TaskManagerObject::create(task_manager_type()); }

constexpr Signature kShutdownAll{"shutdown_all", 0, {"timeout_ms"}};
PyRef shutdown_all(PyObject*, const CallArgs& args) {
  auto [timeout_ms] = bind(kShutdownAll, args);
  const auto limit = to_optional_limit_from_millis(timeout_ms, "timeout_ms");
  return py_bool(wait_all_without_gil(limit, /*stop_first=*/true));
}

PyRef reset_stop(PyObject*) { return py_bool(unwrap(task_manager().reset_stop())); }

}  // namespace

bool wait_all_without_gil(std::optional<std::chrono::nanoseconds> limit, bool stop_first) {
  const rt::WaitEnd end = without_gil([&](GilRelease& released) {
    if (stop_first) task_manager().stop_all();
    return task_manager().wait_all(limit, pending_signal_check(released));
  });
  if (end == rt::WaitEnd::Interrupted) throw PyErrOccurred{};  // the handler's exception
  return end == rt::WaitEnd::Done;
}

PyTypeObject* task_manager_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

PyMethodDef get_task_manager_function =
    function<get_task_manager>("get_task_manager", doc<"get_task_manager()\n--\n\n"
                                                       "获取全局任务管理器。",
                                                       "get_task_manager">());

PyMethodDef shutdown_all_function =
    function<shutdown_all>("shutdown_all", doc<"shutdown_all(timeout_ms=None)\n--\n\n"
                                               "便捷函数：优雅关闭所有任务。",
                                               "shutdown_all">());

PyMethodDef reset_stop_function =
    function<reset_stop>("reset_stop", doc<"reset_stop()\n--\n\n", "reset_stop">());

}  // namespace varnex::py
