#include "tasks/joinable_thread.hpp"

#include <csignal>
#include <memory>
#include <utility>

#include "common/os_error.hpp"
#include "runtime/thread_util.hpp"

namespace varnex {

Result<JoinableThread> JoinableThread::start(std::string name, std::function<void()> body,
                                             const char* what) {
  pthread_t thread;
  const int rc = rt::create_named_thread(name, std::move(body), &thread);
  if (rc != 0) return Error::fatal(std::string(what) + ": " + os_error_text(rc));
  return JoinableThread(thread);
}

JoinableThread::JoinableThread(JoinableThread&& other) noexcept
    : thread_(other.thread_), joinable_(std::exchange(other.joinable_, false)) {}

JoinableThread& JoinableThread::operator=(JoinableThread&& other) noexcept {
  if (this != &other) {
    detach();
    thread_ = other.thread_;
    joinable_ = std::exchange(other.joinable_, false);
  }
  return *this;
}

JoinableThread::~JoinableThread() { detach(); }

void JoinableThread::join() {
  if (!joinable_) return;
  joinable_ = false;
  pthread_join(thread_, nullptr);
}

void JoinableThread::detach() {
  if (!joinable_) return;
  joinable_ = false;
  pthread_detach(thread_);
}

}  // namespace varnex
