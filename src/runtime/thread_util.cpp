#include "runtime/thread_util.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <system_error>

namespace varnex::rt {

namespace {

struct Start {
  std::string name;
  std::function<void()> body;
  sigset_t python_mask;
};

// On the module's threads: the mask a plain Python thread started where this thread was
// started would have. Null on every other thread.
thread_local const sigset_t* t_starter_mask = nullptr;

// The mask a thread started from here should give to Python code: a thread of ours passes on
// the one it was given, any other thread (the interpreter's) its current mask.
sigset_t python_mask_here() {
  if (t_starter_mask != nullptr) return *t_starter_mask;
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return current;
}

void* thread_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  // Named from inside: a detached thread may already be gone when its creator could name it.
  pthread_setname_np(pthread_self(), start->name.substr(0, 15).c_str());
  t_starter_mask = &start->python_mask;
  start->body();
  t_starter_mask = nullptr;
  return nullptr;
}

}  // namespace

namespace {

int create_thread(const std::string& name, std::function<void()> body, bool detached,
                  pthread_t* thread) {
  auto owned = std::make_unique<Start>(Start{name, std::move(body), python_mask_here()});
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rc;
  {
    AsyncSignalsBlocked blocked;  // the new thread inherits the mask
    rc = pthread_create(thread, &attr, thread_main, owned.get());
  }
  pthread_attr_destroy(&attr);
  if (rc == 0) owned.release();  // the thread owns it now
  return rc;
}

}  // namespace

void start_named_thread(const std::string& name, std::function<void()> body) {
  pthread_t thread;
  int rc = create_thread(name, std::move(body), true, &thread);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
}

int create_named_thread(const std::string& name, std::function<void()> body, pthread_t* thread) {
  return create_thread(name, std::move(body), false, thread);
}

AsyncSignalsBlocked::AsyncSignalsBlocked() {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGPIPE})
    sigaddset(&blocked, s);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

StarterSignalMask::StarterSignalMask() noexcept : applied_(t_starter_mask != nullptr) {
  if (!applied_) return;
  sigset_t mask = *t_starter_mask;
  // A signal already pending for the process has been aimed at a thread that wants it (the
  // main thread, normally). Unblocking it here would let this thread take it first, since the
  // mask change itself makes the kernel look for pending signals; the interpreter would then
  // only see it when the main thread next runs Python code, so a main thread in time.sleep
  // would miss Ctrl+C. Such signals stay blocked on this thread for this call.
  sigset_t pending;
  if (sigpending(&pending) == 0) {
    for (int signo = 1; signo < NSIG; ++signo) {
      if (sigismember(&pending, signo) == 1) sigaddset(&mask, signo);
    }
  }
  pthread_sigmask(SIG_SETMASK, &mask, &previous_);
}

StarterSignalMask::~StarterSignalMask() {
  if (applied_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

unsigned available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return 1;
}

}  // namespace varnex::rt
