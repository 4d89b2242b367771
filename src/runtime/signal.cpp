#include "runtime/signal.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <vector>

#include "common/os_error.hpp"
#include "runtime/process.hpp"
#include "runtime/runtime.hpp"

namespace varnex::rt {

namespace {

constexpr int kMaxSignal = 65;

struct Previous {
  struct sigaction action;
  const Previous* replaced;  // kept reachable, for leak checkers
};

struct SignalSlot {
  // arrivals counts a delivery as our handler starts, deliveries once the handler before ours
  // has run; a listener waits for deliveries (see on_signal).
  std::atomic<uint64_t> arrivals{0};
  std::atomic<uint64_t> deliveries{0};
  // The handler ours passes signals on to. Replaced (never freed: a handler on another thread
  // may be reading it) each time ours is installed again.
  std::atomic<const Previous*> previous{nullptr};
  std::atomic<int> chaining{0};  // inside the previous handler now
};

// Process-wide, never destroyed: the handler may run at any moment, even during exit. The
// handlers themselves are inherited by a child made by fork(), so this table is too.
SignalSlot* slots() {
  static SignalSlot* table = new SignalSlot[kMaxSignal];
  return table;
}

// The reactor pipe of this process: the process generation in the high half, the descriptor in
// the low half. A child made by fork() sees the parent's generation here until its own runtime
// installs its pipe, and so writes to no pipe meanwhile (the parent's would wake the parent).
std::atomic<uint64_t> g_pipe{0};

uint64_t pipe_word(int fd) {
  return (process_generation() << 32) | static_cast<uint32_t>(fd + 1);  // 0: no pipe
}

int pipe_of_this_process() {
  const uint64_t word = g_pipe.load(std::memory_order_acquire);
  if ((word & 0xffffffffu) == 0 || (word >> 32) != (process_generation() & 0xffffffffu)) return -1;
  return static_cast<int>(word & 0xffffffffu) - 1;
}

struct ListenerRegistry {
  std::mutex mutex;
  uint64_t next_id = 1;
  std::map<uint64_t, Waker> wakers;
};
constinit PerProcess<ListenerRegistry> registries;
ListenerRegistry& registry() { return registries.get(); }

void pass_on(const struct sigaction& prev, int signo, siginfo_t* info, void* context) {
  if (prev.sa_flags & SA_SIGINFO) {
    if (prev.sa_sigaction != nullptr) prev.sa_sigaction(signo, info, context);
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN &&
             prev.sa_handler != nullptr) {
    prev.sa_handler(signo);
  }
}

void on_signal(int signo, siginfo_t* info, void* context) {
  int saved_errno = errno;
  if (signo > 0 && signo < kMaxSignal) {
    SignalSlot& slot = slots()[signo];
    slot.arrivals.fetch_add(1, std::memory_order_acq_rel);
    // The previous handler runs before the delivery counts, so that whatever it records (the
    // interpreter's pending KeyboardInterrupt) is in place before any listener can act on it.
    // A handler that was installed over ours and passes signals back to us is not called again
    // from inside itself.
    const Previous* prev = slot.previous.load(std::memory_order_acquire);
    if (prev != nullptr && slot.chaining.fetch_add(1, std::memory_order_acq_rel) == 0) {
      pass_on(prev->action, signo, info, context);
    }
    if (prev != nullptr) slot.chaining.fetch_sub(1, std::memory_order_acq_rel);
    slot.deliveries.fetch_add(1, std::memory_order_acq_rel);
    int fd = pipe_of_this_process();
    if (fd >= 0) {
      unsigned char byte = static_cast<unsigned char>(signo);
      ssize_t ignored = write(fd, &byte, 1);  // a full pipe already guarantees a wake-up
      (void)ignored;
    }
  }
  errno = saved_errno;
}

bool is_ours(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &on_signal;
}

constinit PerProcess<std::mutex> install_mutexes;

// Makes ours the handler in place for `signo`, passing signals on to whatever is there now.
Status install_handler(int signo) {
  std::lock_guard lock(install_mutexes.get());
  SignalSlot& slot = slots()[signo];
  g_pipe.store(pipe_word(Runtime::get().reactor().signal_pipe_write_fd()),
               std::memory_order_release);
  struct sigaction current {};
  if (sigaction(signo, nullptr, &current) != 0) return Error::os(os_error_text(errno));
  if (is_ours(current)) return {};
  // Published before ours goes in, so our handler never runs without it.
  const auto publish = [&slot](const struct sigaction& action) {
    slot.previous.store(new Previous{action, slot.previous.load(std::memory_order_acquire)},
                        std::memory_order_release);
  };
  publish(current);
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;  // no SA_RESTART: keep EINTR for the interpreter
  sigemptyset(&action.sa_mask);
  struct sigaction replaced {};
  if (sigaction(signo, &action, &replaced) != 0) return Error::os(os_error_text(errno));
  // Changed between the look and the install (another thread set a handler): pass on to that.
  if (!is_ours(replaced) &&
      (replaced.sa_handler != current.sa_handler || replaced.sa_flags != current.sa_flags)) {
    publish(replaced);
  }
  return {};
}

}  // namespace

Result<SignalListener> SignalListener::create(int signo) {
  if (signo <= 0 || signo >= kMaxSignal) return Error::os(os_error_text(EINVAL));
  // The counts are read first: a delivery during the install is one this listener sees.
  SignalSlot& slot = slots()[signo];
  const uint64_t arrived = slot.arrivals.load(std::memory_order_acquire);
  const uint64_t seen = slot.deliveries.load(std::memory_order_acquire);
  if (Status s = install_handler(signo); !s) return std::move(s).error();
  return SignalListener(signo, seen, arrived);
}

SignalListener::SignalListener(int signo, uint64_t seen, uint64_t arrived)
    : signo_(signo), seen_(seen), arrived_seen_(arrived) {}

SignalListener::SignalListener(SignalListener&& other) noexcept
    : signo_(other.signo_), seen_(other.seen_), arrived_seen_(other.arrived_seen_) {
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
    ++arrived_seen_;
    return signo_;
  }
  return std::nullopt;
}

bool SignalListener::arrived() const {
  return slots()[signo_].arrivals.load(std::memory_order_acquire) > arrived_seen_;
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
