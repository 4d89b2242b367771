// The shared runtime: one process-wide instance, created by its first user, never destroyed.
//
//   threads   one worker per CPU (FIFO run queue), one reactor thread (epoll: sockets,
//             timerfd, signal pipe), and blocking-pool threads started on demand.
//   spawn     starts a task on the workers and returns its JoinHandle at once.
//   block_on  runs a task on the calling thread until it completes; the thread sleeps while
//             the task waits. Not allowed on a thread that drives tasks (a worker outside
//             block_in_place, or a thread already inside block_on).
//   block_in_place   runs a blocking function; on a worker, the worker first hands its place
//             to a fresh worker so the other tasks keep running, and may then call block_on.
//   spawn_blocking   runs a function on the blocking pool; the JoinHandle can be awaited.
//
// Failures to build the runtime or to start a thread are FatalError exceptions.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

#include "runtime/blocking_pool.hpp"
#include "runtime/fatal.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/local_executor.hpp"
#include "runtime/poll.hpp"
#include "runtime/reactor.hpp"
#include "runtime/task.hpp"
#include "runtime/task_context.hpp"
#include "runtime/worker_pool.hpp"

namespace varnex::rt {

class Runtime {
 public:
  // The instance, built on first use (thread-safe: concurrent first users wait for one
  // build). Throws FatalError if building fails now or failed before.
  static Runtime& get();
  // True once built; never builds.
  static bool exists();

  Reactor& reactor() { return reactor_; }
  WorkerPool& workers() { return workers_; }
  BlockingPool& blocking_pool() { return blocking_; }

 private:
  explicit Runtime(unsigned workers);
  Reactor reactor_;
  WorkerPool workers_;
  BlockingPool blocking_;
};

template <class T>
JoinHandle<T> spawn(Task<T> task) {
  Runtime& runtime = Runtime::get();
  auto state = std::make_shared<JoinState<T>>();
  auto root = detail::run_root<T>(state, std::move(task));
  state->set_root(root.handle);
  runtime.workers().schedule(Job{root.handle, state});
  return JoinHandle<T>(std::move(state));
}

namespace detail {

// Swaps the calling thread's context for the duration of a blocking drive.
class ContextScope {
 public:
  explicit ContextScope(Executor* executor) : tc_(this_thread_context()), saved_(tc_) {
    tc_.executor = executor;
    tc_.task.reset();
    tc_.drives_tasks = true;
  }
  ~ContextScope() { tc_ = saved_; }

 private:
  ThreadContext& tc_;
  ThreadContext saved_;
};

}  // namespace detail

template <class T>
StoredValue<T> block_on(Task<T> task) {
  if (this_thread_context().drives_tasks) throw FatalError(kBlockOnInRuntimeMessage);
  Runtime::get();
  LocalExecutor local;
  detail::ContextScope scope(&local);
  auto state = std::make_shared<JoinState<T>>();
  auto root = detail::run_root<T>(state, std::move(task));
  local.schedule(Job{root.handle, nullptr});
  while (!state->done()) run_job(local.next());
  return state->take();
}

// Waits for one op on the calling thread without a coroutine (used by blocking locks).
template <class Op>
OpOutput<Op> block_on_op(Op& op) {
  LocalExecutor parker;
  for (;;) {
    auto waker = std::make_shared<WakeTarget>(&parker, Job{});
    if (auto out = op.poll(waker)) {
      waker->finish();
      return std::move(*out);
    }
    if (waker->arm()) parker.next();
  }
}

template <class F>
auto block_in_place(F&& f) -> decltype(f()) {
  ThreadContext& tc = this_thread_context();
  bool on_worker = tc.drives_tasks && Runtime::exists() && tc.executor == &Runtime::get().workers();
  if (!on_worker) return f();
  WorkerPool& pool = Runtime::get().workers();
  pool.leave_for_blocking();
  struct Return {
    WorkerPool& pool;
    ~Return() { pool.return_from_blocking(); }
  } back{pool};
  return f();
}

template <class F>
auto spawn_blocking(F&& f) -> JoinHandle<std::invoke_result_t<F>> {
  using R = std::invoke_result_t<F>;
  auto state = std::make_shared<JoinState<R>>();
  Runtime::get().blocking_pool().submit([state, fn = std::forward<F>(f)]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        fn();
        state->set_value(Unit{});
      } else {
        state->set_value(fn());
      }
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must unwind
    } catch (...) {
      state->set_exception(std::current_exception());
    }
  });
  return JoinHandle<R>(std::move(state));
}

}  // namespace varnex::rt
