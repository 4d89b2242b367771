// Task<T>: a lazily started coroutine that yields one T to whoever awaits it.
// Awaiting it runs it at once, on the awaiter's stack, until it first suspends or finishes. One
// that finishes without suspending lets the awaiter go on where it is; one that suspended resumes
// its awaiter when it finishes (on whatever thread it finishes). So a loop that awaits tasks that
// finish at once (a burst of frames already queued) runs in constant stack, without relying on the
// compiler to turn symmetric transfer into a tail call (sanitizer and debug builds do not).
// An exception escaping the body is rethrown to the awaiter. Destroying a Task destroys
// its coroutine frame and, with it, every wait the frame is suspended in.
#pragma once

#include <atomic>
#include <coroutine>
#include <exception>
#include <utility>
#include <variant>

namespace varnex::rt {

template <class T>
class Task;

namespace detail {

struct TaskPromiseBase {
  // Who resumes the awaiter: the awaiter itself when the task finishes before the awaiter has
  // suspended, the task's end otherwise. Whichever comes second of the two events decides.
  enum : int { kRunning = 0, kAwaiterSuspended = 1, kFinishedFirst = 2 };
  std::atomic<int> handoff{kRunning};
  std::coroutine_handle<> continuation = std::noop_coroutine();

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      TaskPromiseBase& promise = h.promise();
      int expected = kRunning;
      if (promise.handoff.compare_exchange_strong(expected, kFinishedFirst,
                                                  std::memory_order_acq_rel)) {
        return std::noop_coroutine();  // the awaiter, still in await_suspend, goes on itself
      }
      return promise.continuation;
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
        h.resume();
        // The frame stays until the Task is destroyed, so the promise may be read even when
        // the task has finished meanwhile on another thread.
        int expected = detail::TaskPromiseBase::kRunning;
        return h.promise().handoff.compare_exchange_strong(
            expected, detail::TaskPromiseBase::kAwaiterSuspended, std::memory_order_acq_rel);
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
