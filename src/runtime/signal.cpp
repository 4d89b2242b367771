#include "runtime/signal.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "common/os_error.hpp"
#include "runtime/runtime.hpp"

namespace varnex::rt {

namespace {

constexpr int kMaxSignal = 65;

struct SignalSlot {
  std::atomic<uint64_t> deliveries{0};
  struct sigaction previous {};
  bool installed = false;
};

// Process-wide, never destroyed: the handler may run at any moment, even during exit.
SignalSlot* slots() {
  static SignalSlot* table = new SignalSlot[kMaxSignal];
  return table;
}
std::atomic<int> g_pipe_write_fd{-1};

struct ListenerRegistry {
  std::mutex mutex;
  uint64_t next_id = 1;
  std::map<uint64_t, Waker> wakers;
};
ListenerRegistry& registry() {
  static ListenerRegistry* r = new ListenerRegistry;
  return *r;
}

void on_signal(int signo, siginfo_t* info, void* context) {
  int saved_errno = errno;
  if (signo > 0 && signo < kMaxSignal) {
    SignalSlot& slot = slots()[signo];
    // The previous handler runs first, so that whatever it records (the interpreter's
    // pending KeyboardInterrupt) is in place before any listener can wake up and act.
    const struct sigaction& prev = slot.previous;
    if (prev.sa_flags & SA_SIGINFO) {
      if (prev.sa_sigaction != nullptr) prev.sa_sigaction(signo, info, context);
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN &&
               prev.sa_handler != nullptr) {
      prev.sa_handler(signo);
    }
    slot.deliveries.fetch_add(1, std::memory_order_acq_rel);
    int fd = g_pipe_write_fd.load(std::memory_order_acquire);
    if (fd >= 0) {
      unsigned char byte = static_cast<unsigned char>(signo);
      ssize_t ignored = write(fd, &byte, 1);  // a full pipe already guarantees a wake-up
      (void)ignored;
    }
  }
  errno = saved_errno;
}

std::mutex& install_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

Status install_handler(int signo) {
  std::lock_guard lock(install_mutex());
  SignalSlot& slot = slots()[signo];
  if (slot.installed) return {};
  g_pipe_write_fd.store(Runtime::get().reactor().signal_pipe_write_fd(),
                        std::memory_order_release);
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;  // no SA_RESTART: keep EINTR for the interpreter
  sigemptyset(&action.sa_mask);
  if (sigaction(signo, &action, &slot.previous) != 0) return Error::os(os_error_text(errno));
  slot.installed = true;
  return {};
}

}  // namespace

Result<SignalListener> SignalListener::create(int signo) {
  if (signo <= 0 || signo >= kMaxSignal) return Error::os(os_error_text(EINVAL));
  if (Status s = install_handler(signo); !s) return std::move(s).error();
  return SignalListener(signo, slots()[signo].deliveries.load(std::memory_order_acquire));
}

SignalListener::SignalListener(int signo, uint64_t seen) : signo_(signo), seen_(seen) {}

SignalListener::SignalListener(SignalListener&& other) noexcept
    : signo_(other.signo_), seen_(other.seen_) {
  other.unregister();
}

SignalListener::~SignalListener() { unregister(); }

void SignalListener::unregister() {
  if (!registered_) return;
  std::lock_guard lock(registry().mutex);
  registry().wakers.erase(id_);
  registered_ = false;
}

std::optional<int> SignalListener::poll(const Waker& waker) {
  {
    // Register before looking at the count, so a delivery in between still wakes us.
    std::lock_guard lock(registry().mutex);
    if (!registered_) {
      id_ = registry().next_id++;
      registered_ = true;
    }
    registry().wakers[id_] = waker;
  }
  uint64_t now = slots()[signo_].deliveries.load(std::memory_order_acquire);
  if (now > seen_) {
    ++seen_;
    return signo_;
  }
  return std::nullopt;
}

void wake_signal_listeners() {
  std::vector<Waker> wakers;
  {
    std::lock_guard lock(registry().mutex);
    for (auto& [id, waker] : registry().wakers) wakers.push_back(waker);
  }
  for (auto& waker : wakers) waker->wake();
}

}  // namespace varnex::rt
