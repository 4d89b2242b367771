#include "tasks/joinable_thread.hpp"

#include <csignal>
#include <memory>
#include <utility>

#include "common/os_error.hpp"
#include "runtime/thread_util.hpp"

namespace varnex {

namespace {

struct Start {
  std::string name;
  std::function<void()> body;
};

void* thread_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  // Named from inside, so the name is in place before the body runs.
  pthread_setname_np(pthread_self(), start->name.substr(0, 15).c_str());
  start->body();
  return nullptr;  // the body (and what it captured) is destroyed here, on this thread
}

}  // namespace

Result<JoinableThread> JoinableThread::start(std::string name, std::function<void()> body,
                                             const char* what) {
  auto owned = std::make_unique<Start>(Start{std::move(name), std::move(body)});

  pthread_t thread;
  int rc;
  {
    rt::AsyncSignalsBlocked blocked;  // the new thread inherits the mask
    rc = pthread_create(&thread, nullptr, thread_main, owned.get());
  }
  if (rc != 0) return Error::fatal(std::string(what) + ": " + os_error_text(rc));
  owned.release();
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
