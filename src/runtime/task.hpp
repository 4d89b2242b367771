// Task<T>: a lazily started coroutine that yields one T to whoever awaits it.
// Awaiting it runs it at once, on the awaiter's stack, until it first suspends or finishes. One
// that finishes without suspending lets the awaiter go on where it is; one that suspended resumes
// its awaiter when it finishes (on whatever thread it finishes). So a loop that awaits tasks that
// finish at once (a burst of frames already queued) runs in constant stack, without relying on the
// compiler to turn symmetric transfer into a tail call (sanitizer and debug builds do not).
// An exception escaping the body is rethrown to the awaiter. Destroying a Task destroys
// its coroutine frame and, with it, every wait the frame is suspended in.
#pragma once

#include <coroutine>
#include <exception>
#include <utility>
#include <variant>

namespace varnex::rt {

template <class T>
class Task;

namespace detail {

// The awaiter of a task that runs it inline, on this thread: its record lets the task's end
// tell a finish during that run (the awaiter goes on by itself) from a later one (the task's end
// resumes the awaiter). Only the awaiter's stack and this thread's record are touched once the
// task has suspended: its frames may be resumed or destroyed elsewhere from then on.
struct InlineRun {
  void* task;
  bool finished;
  InlineRun* outer;
};
inline thread_local InlineRun* inline_run = nullptr;

struct TaskPromiseBase {
  std::coroutine_handle<> continuation = std::noop_coroutine();

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      if (InlineRun* run = inline_run; run != nullptr && run->task == h.address()) {
        run->finished = true;  // still inside the awaiter's run: it goes on itself
        return std::noop_coroutine();
      }
      return h.promise().continuation;
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
};

template <class T>
struct TaskPromise : TaskPromiseBase {
  std::variant<std::monostate, T, std::exception_ptr> result;

  Task<T> get_return_object() noexcept;
  template <class U>
  void return_value(U&& value) {
    result.template emplace<1>(std::forward<U>(value));
  }
  void unhandled_exception() noexcept { result.template emplace<2>(std::current_exception()); }

  T take() {
    if (result.index() == 2) std::rethrow_exception(std::get<2>(result));
    return std::move(std::get<1>(result));
  }
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
  std::exception_ptr error;

  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void unhandled_exception() noexcept { error = std::current_exception(); }
  void take() {
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace detail

template <class T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;
  using value_type = T;

  Task() = default;
  explicit Task(std::coroutine_handle<promise_type> h) : handle_(h) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool valid() const { return static_cast<bool>(handle_); }

  auto operator co_await() && noexcept {
    struct Awaiter {
      std::coroutine_handle<promise_type> h;
      bool await_ready() noexcept { return false; }
      bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
        h.promise().continuation = awaiting;
        detail::InlineRun run{h.address(), false, detail::inline_run};
        detail::inline_run = &run;
        h.resume();
        detail::inline_run = run.outer;
        return !run.finished;  // finished: go on; else the task's end resumes the awaiter
      }
      T await_resume() { return h.promise().take(); }
    };
    return Awaiter{handle_};
  }
  auto operator co_await() & noexcept { return std::move(*this).operator co_await(); }

 private:
  void reset() {
    if (handle_) handle_.destroy();
    handle_ = {};
  }
  std::coroutine_handle<promise_type> handle_;
};

namespace detail {
template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>{std::coroutine_handle<TaskPromise<T>>::from_promise(*this)};
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>{std::coroutine_handle<TaskPromise<void>>::from_promise(*this)};
}
}  // namespace detail

}  // namespace varnex::rt
