#include "python/py_async_handle.hpp"

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/blocking_wait.hpp"
#include "python/boundary.hpp"
#include "python/deferred_release.hpp"
#include "python/docstring.hpp"
#include "python/gil.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/python_call.hpp"
#include "python/values.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/time.hpp"
#include "tasks/call_handle.hpp"

namespace varnex::py {

namespace {

// The state is the core handle (tasks/call_handle.hpp), whose drop policy runs at dealloc.
using AsyncHandleObject = Object<CallHandle>;

// The outcome is read in place: the call wrote it once, before it completed.
PyObject* as_object(const ForeignValue& value) { return static_cast<PyObject*>(value.get()); }

// The error object the call raised, or null (no error, or only a text was stored).
PyRef stored_exception(const BackgroundCall& call) {
  const CallError* error = call.error();
  return error != nullptr ? PyRef::from_borrowed(as_object(error->exception)) : PyRef();
}

std::optional<std::string> stored_error(const BackgroundCall& call) {
  const CallError* error = call.error();
  if (error == nullptr) return std::nullopt;
  return error->text;
}

PyRef stored_value(const BackgroundCall& call) {
  const ForeignValue* value = call.value();
  return value != nullptr && *value ? PyRef::from_borrowed(as_object(*value)) : none();
}

// Sets `exception` (an exception instance) as the pending error, with its own traceback, so
// that raising it again shows where it first came from.
[[noreturn]] void raise_object(PyRef exception) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
  throw PyErrOccurred{};
}

// RuntimeError(text), caused by the call's own error object when there is one.
PyRef runtime_error(const std::string& text, PyRef cause) {
  PyRef message = py_str(text);
  PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
  if (!error) throw PyErrOccurred{};
  if (cause) PyException_SetCause(error.get(), cause.release());
  return error;
}

// The stored error raised as RuntimeError, else the stored value, else None. Both stay stored.
PyRef read_outcome(const BackgroundCall& call) {
  if (std::optional<std::string> error = stored_error(call)) {
    raise_object(runtime_error(*error, stored_exception(call)));
  }
  return stored_value(call);
}

// The error the call raised as an object (the very one the function raised when the language
// gave it), or null when the call returned.
PyRef outcome_exception(const BackgroundCall& call) {
  std::optional<std::string> error = stored_error(call);
  if (!error) return PyRef();
  PyRef exception = stored_exception(call);
  return exception ? std::move(exception) : runtime_error(*error, PyRef());
}

PyRef cancelled_error() {
  PyRef module = PyRef::steal(PyImport_ImportModule("concurrent.futures"));
  if (!module) throw PyErrOccurred{};
  PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), "CancelledError"));
  if (!type) throw PyErrOccurred{};
  PyRef error = PyRef::steal(PyObject_CallNoArgs(type.get()));
  if (!error) throw PyErrOccurred{};
  return error;
}

const BackgroundCall& call_of(PyObject* self) { return AsyncHandleObject::shared(self)->call(); }

PyRef task_id(PyObject* self) { return py_int(call_of(self).task_id()); }

PyRef is_done(PyObject* self) {
  const BackgroundCall& call = call_of(self);
  return py_bool(call.is_completed() || call.is_cancelled());
}

PyRef is_completed(PyObject* self) { return py_bool(call_of(self).is_completed()); }

PyRef is_cancelled(PyObject* self) { return py_bool(call_of(self).is_cancelled()); }

PyRef cancel(PyObject* self) {
  AsyncHandleObject::shared(self)->call().cancel();
  return none();
}

PyRef try_result(PyObject* self) {
  drain_deferred_releases();
  return read_outcome(call_of(self));
}

// Waits until the call has ended, or also until it is cancelled when `cancel_ends`; false when
// `limit` passed first. On the main thread Ctrl+C ends the wait with the handler's exception
// (KeyboardInterrupt); the call is not affected.
bool wait_for_end(const BackgroundCall& call, std::optional<rt::Instant> deadline,
                  bool cancel_ends) {
  const rt::Completion& end = cancel_ends ? call.settled() : call.completed();
  if (!wait_without_gil(end, deadline)) return false;
  drain_deferred_releases();
  return true;
}

constexpr Signature kWait{"wait", 0, {"timeout_ms"}};
PyRef wait(PyObject* self, const CallArgs& args) {
  auto [timeout_ms] = bind(kWait, args);
  const std::optional<std::chrono::nanoseconds> limit =
      to_optional_limit_from_millis(timeout_ms, "timeout_ms");
  const auto handle = AsyncHandleObject::shared(self);
  const BackgroundCall& call = handle->call();
  const std::optional<rt::Instant> deadline = limit ? rt::deadline_after(*limit) : std::nullopt;
  if (!wait_for_end(call, deadline, true)) throw_error(Error::timeout("Async task wait timed out"));
  return read_outcome(call);
}

// Waits for the body to end (a cancel() does not end the wait: a call already running still
// delivers its outcome); TimeoutError or CancelledError as concurrent.futures raises them.
void wait_for_outcome(const BackgroundCall& call, PyObject* timeout) {
  if (!wait_for_end(call, deadline_from_seconds(timeout), false)) {
    throw_error(Error::timeout("AsyncHandle result timed out"));
  }
  if (call.skipped()) raise_object(cancelled_error());
}

constexpr Signature kResult{"result", 0, {"timeout"}};
PyRef result(PyObject* self, const CallArgs& args) {
  auto [timeout] = bind(kResult, args);
  const auto handle = AsyncHandleObject::shared(self);
  wait_for_outcome(handle->call(), timeout);
  if (PyRef exception = outcome_exception(handle->call())) raise_object(std::move(exception));
  return stored_value(handle->call());
}

constexpr Signature kException{"exception", 0, {"timeout"}};
PyRef exception(PyObject* self, const CallArgs& args) {
  auto [timeout] = bind(kException, args);
  const auto handle = AsyncHandleObject::shared(self);
  wait_for_outcome(handle->call(), timeout);
  PyRef exception = outcome_exception(handle->call());
  return exception ? std::move(exception) : none();
}

// Calls fn(handle) (GIL held). What it raises is reported on one line, never propagated.
void run_done_callback(PyObject* fn, PyObject* handle) noexcept {
  PyObject* result = without_thread_exit([=] { return PyObject_CallOneArg(fn, handle); });
  if (result != nullptr) {
    Py_DECREF(result);
    return;
  }
  std::string text = take_exception_text();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  write_stderr(DiagnosticLevel::Error,
               "Warning: exception in AsyncHandle done callback: " + text + "\n");
}

void add_done(PyObject* self, PyObject* fn) {
  const auto handle = AsyncHandleObject::shared(self);
  // Shared so that the function object can be copied; both are dropped with the GIL held when
  // the callback runs, or leaked harmlessly if it never can (the interpreter went away).
  auto fn_ref = std::make_shared<AnyThreadRef>(PyRef::from_borrowed(fn));
  auto self_ref = std::make_shared<AnyThreadRef>(PyRef::from_borrowed(self));
  const bool queued = handle->call().done_callbacks().add([fn_ref, self_ref] {
    GilGuard gil;
    if (!gil) return;
    run_done_callback(fn_ref->get(), self_ref->get());
    fn_ref->reset();
    self_ref->reset();
    drain_deferred_releases();
  });
  if (!queued) run_done_callback(fn, self);
}

constexpr Signature kAddDoneCallback{"add_done_callback", 1, {"fn"}};
PyRef add_done_callback(PyObject* self, const CallArgs& args) {
  auto [fn] = bind(kAddDoneCallback, args);
  add_done(self, fn);
  return none();
}

// ---- awaiting from asyncio ----
// The handle's done callback hands the outcome to an asyncio future through the loop's
// call_soon_threadsafe; the awaiting task waits on that future, so the loop never blocks.

// Runs on the loop: settles `future` (unless the awaiting task already cancelled it).
PyRef settle_future(PyObject* future, PyObject* self) {
  PyRef done = PyRef::steal(PyObject_CallMethod(future, "done", nullptr));
  if (!done) throw PyErrOccurred{};
  const int is_done = PyObject_IsTrue(done.get());
  if (is_done < 0) throw PyErrOccurred{};
  if (is_done) return none();
  const auto handle = AsyncHandleObject::shared(self);
  const BackgroundCall& call = handle->call();
  PyRef outcome;
  if (call.skipped()) {
    // What result() raises, rather than cancelling the future: that would read as the
    // awaiting task itself having been cancelled.
    PyRef error = cancelled_error();
    outcome = PyRef::steal(PyObject_CallMethod(future, "set_exception", "O", error.get()));
  } else if (PyRef exception = outcome_exception(call)) {
    outcome = PyRef::steal(PyObject_CallMethod(future, "set_exception", "O", exception.get()));
  } else {
    PyRef value = stored_value(call);
    outcome = PyRef::steal(PyObject_CallMethod(future, "set_result", "O", value.get()));
  }
  if (!outcome) throw PyErrOccurred{};
  return none();
}

PyObject* settle_future_c(PyObject* future, PyObject* self) noexcept {
  return boundary<PyObject*>(nullptr,
                             [&] { return detail::into_python(settle_future(future, self)); });
}
PyMethodDef settle_def{"_settle", detail::function_cast<PyCFunction>(&settle_future_c), METH_O,
                       nullptr};

// The done callback of an awaited handle; `target` is (loop, future).
PyRef post_to_loop(PyObject* target, PyObject* self) {
  PyObject* loop = PyTuple_GET_ITEM(target, 0);
  PyObject* future = PyTuple_GET_ITEM(target, 1);
  PyRef settle = PyRef::steal(PyCFunction_New(&settle_def, future));
  if (!settle) throw PyErrOccurred{};
  PyRef posted =
      PyRef::steal(PyObject_CallMethod(loop, "call_soon_threadsafe", "OO", settle.get(), self));
  // A closed loop has nobody left to tell.
  if (!posted && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
    PyErr_Clear();
    return none();
  }
  if (!posted) throw PyErrOccurred{};
  return none();
}

PyObject* post_to_loop_c(PyObject* target, PyObject* self) noexcept {
  return boundary<PyObject*>(nullptr,
                             [&] { return detail::into_python(post_to_loop(target, self)); });
}
PyMethodDef post_def{"_post_to_loop", detail::function_cast<PyCFunction>(&post_to_loop_c), METH_O,
                     nullptr};

PyRef await_handle(PyObject* self) {
  PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) throw PyErrOccurred{};
  PyRef loop = PyRef::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
  if (!loop) throw PyErrOccurred{};
  PyRef future = PyRef::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
  if (!future) throw PyErrOccurred{};
  PyRef target = PyRef::steal(PyTuple_Pack(2, loop.get(), future.get()));
  if (!target) throw PyErrOccurred{};
  PyRef post = PyRef::steal(PyCFunction_New(&post_def, target.get()));
  if (!post) throw PyErrOccurred{};
  add_done(self, post.get());
  return PyRef::steal(PyObject_CallMethod(future.get(), "__await__", nullptr));
}

PyRef repr(PyObject* self) {
  const BackgroundCall& call = call_of(self);
  const char* status = call.is_cancelled()   ? "cancelled"
                       : call.is_completed() ? "completed"
                                             : "running";
  return py_str("AsyncHandle(id=" + std::to_string(call.task_id()) + ", status=" + status + ")");
}

PyMethodDef methods[] = {
    method<is_done>("is_done", doc<"is_done($self)\n--\n\n"
                                   "检查任务是否已结束（成功、失败或已取消）。",
                                   "AsyncHandle.is_done">()),
    method<is_completed>("is_completed",
                         doc<"is_completed($self)\n--\n\n"
                             "检查任务是否已执行完成（函数已返回、抛出异常或被跳过）。",
                             "AsyncHandle.is_completed">()),
    method<is_cancelled>("is_cancelled", doc<"is_cancelled($self)\n--\n\n"
                                             "检查任务是否已被取消。",
                                             "AsyncHandle.is_cancelled">()),
    method<cancel>("cancel", doc<"cancel($self)\n--\n\n"
                                 "取消任务。",
                                 "AsyncHandle.cancel">()),
    method<try_result>("try_result", doc<"try_result($self)\n--\n\n"
                                         "非阻塞地获取结果。",
                                         "AsyncHandle.try_result">()),
    method<wait>("wait", doc<"wait($self, timeout_ms=None)\n--\n\n"
                             "等待任务完成并返回结果。",
                             "AsyncHandle.wait">()),
    method<result>("result", doc<"result($self, timeout=None)\n--\n\n", "AsyncHandle.result">()),
    method<exception>("exception",
                      doc<"exception($self, timeout=None)\n--\n\n", "AsyncHandle.exception">()),
    method<add_done_callback>(
        "add_done_callback",
        doc<"add_done_callback($self, fn)\n--\n\n", "AsyncHandle.add_done_callback">()),
    {},
};

PyGetSetDef properties[] = {
    property<task_id>("task_id", doc<"任务的唯一 ID。", "AsyncHandle.task_id">()),
    {},
};

PyType_Slot slots[] = {
    slot(Py_tp_doc, doc<"后台任务句柄，用于查询和控制在后台运行的函数。", "AsyncHandle">()),
    slot(Py_tp_dealloc, &AsyncHandleObject::dealloc),
    slot(Py_tp_repr, &unary_slot<repr>),
    slot(Py_am_await, &unary_slot<await_handle>),
    slot(Py_tp_methods, methods),
    slot(Py_tp_getset, properties),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<CallHandle>("varnex.AsyncHandle", kClassFlags | kNoConstructor, slots);

}  // namespace

PyRef new_async_handle(std::shared_ptr<BackgroundCall> call) {
  // A failed allocation leaves the core handle here, not adopted: its entry is removed.
  CallHandle handle(std::move(call));
  PyRef object = AsyncHandleObject::create(async_handle_type(), std::move(handle));
  AsyncHandleObject::of(object.get())->value.adopt();
  return object;
}

PyTypeObject* async_handle_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

}  // namespace varnex::py
