// The Python class RunAsync (a decorator that runs a function as a background call) and the
// function run_async.
#include <cstddef>
#include <utility>

#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/deferred_release.hpp"
#include "python/docstring.hpp"
#include "python/function_identity.hpp"
#include "python/module_parts.hpp"
#include "python/object.hpp"
#include "python/py_async_handle.hpp"
#include "python/python_call.hpp"
#include "python/values.hpp"
#include "tasks/background_call.hpp"

namespace varnex::py {

namespace {

// Any object is accepted: whether it can be called is found out by the call in the background.
struct RunAsyncState {
  WrappedFunction wrapped;

  int traverse(visitproc visit, void* arg) { return wrapped.traverse(visit, arg); }
  void clear() { wrapped.clear(); }
};
using RunAsyncObject = Object<RunAsyncState>;

// A decorated function keeps its name, doc and signature, and a decorated method receives self.
PyRef make_run_async(PyTypeObject* type, PyObject* func) {
  return wrap_function(func, [type](WrappedFunction wrapped) {
    return RunAsyncObject::create(type, RunAsyncState{std::move(wrapped)});
  });
}

constexpr Signature kNew{"RunAsync", 1, {"func"}};
PyRef new_run_async(PyTypeObject* type, const CallArgs& args) {
  auto [func] = bind(kNew, args);
  return make_run_async(type, func);
}

// Keyword arguments are refused before anything starts: no id is taken, nothing registered.
PyRef call(PyObject* self, const CallArgs& args) {
  PyRef arguments = args.positional_tuple("RunAsync.__call__");
  drain_deferred_releases();
  PyRef func = RunAsyncObject::shared(self)->wrapped.func.new_reference();
  if (!func) throw_python(PyExc_RuntimeError, "RunAsync has no function (cleared)");
  return new_async_handle(
      start_background_call(make_python_call(std::move(func), std::move(arguments))));
}

PyRef repr(PyObject*) { return py_str("RunAsync(...)"); }

PyType_Slot slots[] = {
    slot(Py_tp_doc, doc<"RunAsync(func)\n--\n\n"
                        "后台任务装饰器：被装饰的函数每次调用时都在独立的后台任务中运行。",
                        "RunAsync">()),
    slot(Py_tp_new, &new_slot<new_run_async>),
    slot(Py_tp_call, &call_slot<call>),
    slot(Py_tp_repr, &unary_slot<repr>),
    slot(Py_tp_dealloc, &RunAsyncObject::dealloc),
    VARNEX_WRAPPED_FUNCTION_SLOTS(RunAsyncObject),
    {0, nullptr},
};

PyType_Spec spec =
    object_spec<RunAsyncState>("varnex.RunAsync", kClassFlags | Py_TPFLAGS_HAVE_GC, slots);

constexpr Signature kRunAsync{"run_async", 1, {"func"}};
PyRef run_async(PyObject*, const CallArgs& args) {
  auto [func] = bind(kRunAsync, args);
  return make_run_async(run_async_type(), func);
}

}  // namespace

PyTypeObject* run_async_type() {
  static constinit ProcessType type;
  return type.get(spec);
}

PyMethodDef run_async_function = function<run_async>(
    "run_async", doc<"run_async(func)\n--\n\n"
                     "便捷函数：创建后台任务装饰器，本身即可用作装饰器 @run_async。",
                     "run_async">());

}  // namespace varnex::py
