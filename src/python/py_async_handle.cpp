#include "python/py_async_handle.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/diagnostics.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/deferred_release.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/values.hpp"
#include "runtime/runtime.hpp"

namespace varnex::py {

namespace {

// wait() looks at the flags this often, with the GIL released only while it sleeps.
constexpr std::chrono::milliseconds kPollInterval{1};

struct AsyncHandleState {
  explicit AsyncHandleState(BackgroundCall c) : call(std::move(c)) {}
  AsyncHandleState(const AsyncHandleState&) = delete;
  AsyncHandleState& operator=(const AsyncHandleState&) = delete;

  // The call goes on; it only leaves the registry, and its outcome becomes unreachable.
  ~AsyncHandleState() {
    if (!call.is_completed() && !call.is_cancelled()) {
      write_stderr("Warning: AsyncHandle(id=" + std::to_string(call.task_id) +
                   ") dropped while task still running. Consider calling handle.cancel() or "
                   "handle.wait() before dropping.\n");
    }
    task_manager().unregister_task(call.task_id);
  }

  BackgroundCall call;
};
using AsyncHandleObject = Object<AsyncHandleState>;

// Slot locks are held by the task body only for the moment of storing, never while it wants
// the GIL, so waiting for one with the GIL held is short.
rt::AsyncMutexGuard lock_slot(rt::AsyncMutex& mutex) {
  return rt::block_in_place([&mutex] { return mutex.lock_blocking(); });
}

// The stored error raised as RuntimeError, else the stored value, else None. Both stay stored.
PyRef read_outcome(const BackgroundCall& call) {
  std::optional<std::string> error;
  {
    rt::AsyncMutexGuard guard = lock_slot(call.error->mutex());
    error = call.error->value_unsafe();
  }
  if (error) throw_error(Error::runtime(*error));
  rt::AsyncMutexGuard guard = lock_slot(call.result->mutex());
  auto* value = static_cast<PyObject*>(call.result->value_unsafe().get());
  return value != nullptr ? PyRef::from_borrowed(value) : none();
}

std::chrono::nanoseconds limit_from_ms(std::uint64_t ms) {
  using std::chrono::nanoseconds;
  constexpr std::uint64_t kMaxMs = static_cast<std::uint64_t>(nanoseconds::max().count()) / 1'000'000;
  if (ms >= kMaxMs) return nanoseconds::max();
  return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

PyRef task_id(PyObject* self) { return py_int(AsyncHandleObject::shared(self)->call.task_id); }

PyRef is_done(PyObject* self) {
  const auto handle = AsyncHandleObject::shared(self);
  return py_bool(handle->call.is_completed() || handle->call.is_cancelled());
}

PyRef is_completed(PyObject* self) {
  return py_bool(AsyncHandleObject::shared(self)->call.is_completed());
}

PyRef is_cancelled(PyObject* self) {
  return py_bool(AsyncHandleObject::shared(self)->call.is_cancelled());
}

PyRef cancel(PyObject* self) {
  AsyncHandleObject::shared(self)->call.cancel();
  return none();
}

PyRef try_result(PyObject* self) {
  drain_deferred_releases();
  return read_outcome(AsyncHandleObject::shared(self)->call);
}

constexpr Signature kWait{"wait", 0, {"timeout_ms"}};
PyRef wait(PyObject* self, const CallArgs& args) {
  auto [timeout_ms] = bind(kWait, args);
  const std::optional<std::uint64_t> limit_ms = to_optional_millis(timeout_ms, "timeout_ms");
  const auto handle = AsyncHandleObject::shared(self);
  const BackgroundCall& call = handle->call;
  const auto start = std::chrono::steady_clock::now();
  const auto limit = limit_ms ? std::optional(limit_from_ms(*limit_ms)) : std::nullopt;
  if (!call.is_completed()) {
    for (;;) {
      if (call.is_cancelled()) break;
      if (limit && std::chrono::steady_clock::now() - start >= *limit) {
        throw_error(Error::timeout("Async task wait timed out"));
      }
      {
        GilRelease released;
        std::this_thread::sleep_for(kPollInterval);
      }
      // On the main thread, Ctrl+C ends the wait with the handler's exception (KeyboardInterrupt);
      // the call is not affected. Elsewhere this does nothing.
      if (PyErr_CheckSignals() < 0) throw PyErrOccurred{};
      if (call.is_completed()) break;
    }
  }
  drain_deferred_releases();
  return read_outcome(call);
}

PyRef repr(PyObject* self) {
  const auto handle = AsyncHandleObject::shared(self);
  const char* status = handle->call.is_cancelled()   ? "cancelled"
                       : handle->call.is_completed() ? "completed"
                                                     : "running";
  return py_str("AsyncHandle(id=" + std::to_string(handle->call.task_id) + ", status=" + status +
                ")");
}

PyMethodDef methods[] = {
    method<is_done>("is_done", "is_done($self)\n--\n\n"
                               "检查任务是否已结束（成功、失败或已取消）。"),
    method<is_completed>("is_completed", "is_completed($self)\n--\n\n"
                                         "检查任务是否已执行完成（函数已返回、抛出异常或被跳过）。"),
    method<is_cancelled>("is_cancelled", "is_cancelled($self)\n--\n\n"
                                         "检查任务是否已被取消。"),
    method<cancel>("cancel", "cancel($self)\n--\n\n"
                             "取消任务。\n\n"
                             "注意：这只会把任务标记为已取消，不会中断正在执行的代码；"
                             "尚未开始的调用将被跳过。"),
    method<try_result>("try_result", "try_result($self)\n--\n\n"
                                     "非阻塞地获取结果。\n\n"
                                     "返回:\n"
                                     "    任务的返回值；任务尚未结束时返回 None。\n\n"
                                     "异常:\n"
                                     "    RuntimeError: 任务执行失败。"),
    method<wait>("wait", "wait($self, timeout_ms=None)\n--\n\n"
                         "等待任务完成并返回结果。\n\n"
                         "参数:\n"
                         "    timeout_ms: 超时时间（毫秒），None 表示不限时。\n\n"
                         "返回:\n"
                         "    任务的返回值。\n\n"
                         "异常:\n"
                         "    TimeoutError: 等待超时。\n"
                         "    RuntimeError: 任务执行失败。\n\n"
                         "等待期间释放 GIL；在主线程上等待时可用 Ctrl+C 中断"
                         "（抛出 KeyboardInterrupt，任务本身不受影响）。"),
    {},
};

PyGetSetDef properties[] = {
    property<task_id>("task_id", "任务的唯一 ID。"),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, "后台任务句柄，用于查询和控制在后台运行的函数。\n\n"
                    "由 RunAsync 装饰的函数调用时返回，不能直接创建。"),
    slot(Py_tp_dealloc, &AsyncHandleObject::dealloc),
    slot(Py_tp_repr, &unary_slot<repr>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<AsyncHandleState>("varnex.AsyncHandle", kClassFlags | kNoConstructor, slots);

}  // namespace

PyRef new_async_handle(BackgroundCall call) {
  const std::uint64_t id = call.task_id;
  try {
    return AsyncHandleObject::create(async_handle_type(), std::move(call));
  } catch (const PyErrOccurred&) {
    task_manager().unregister_task(id);
    throw;
  }
}

PyTypeObject* async_handle_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

}  // namespace varnex::py
