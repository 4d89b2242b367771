#include "runtime/thread_util.hpp"

#include <cerrno>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <system_error>

namespace varnex::rt {

namespace {

void* thread_main(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

void start_named_thread(const std::string& name, std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));

  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGPIPE})
    sigaddset(&blocked, s);
  // The new thread inherits the creator's mask: block around the creation, then restore.
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, thread_main, owned.get());
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
  owned.release();
  pthread_setname_np(thread, name.substr(0, 15).c_str());
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
