#include "runtime/reactor.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "common/os_error.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/signal.hpp"
#include "runtime/thread_util.hpp"

namespace varnex::rt {

namespace {

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Tags in epoll_event.data for the reactor's own descriptors; sockets use their fd.
constexpr uint64_t kTimerTag = 1ull << 62;
constexpr uint64_t kSignalTag = 1ull << 61;

// The reactor thread has no caller to hand an error to, and every wait in the process
// depends on it: a failure it cannot recover from ends the process with the reason on fd 2.
[[noreturn]] void fail_fatally(const char* call, int errnum) {
  // Written here, behind what is queued: the queue's writer will not outlive the abort.
  flush_stderr();
  write_fd2("Fatal: the task runtime's reactor failed: " + std::string(call) + ": " +
            os_error_text(errnum) + "\n");
  std::abort();
}

}  // namespace

std::optional<IoRegistration::Ready> IoRegistration::poll_ready(Interest interest,
                                                                const Waker& waker) {
  std::lock_guard lock(mutex_);
  bool ready = interest == Interest::Read ? readable_ : writable_;
  if (ready) return Ready{tick_};
  std::vector<Waker>& wakers = interest == Interest::Read ? read_wakers_ : write_wakers_;
  // Each poll round brings a new waker; the ones left from earlier rounds that can no longer
  // wake anything go, so a party that polls often between events does not pile them up.
  std::erase_if(wakers, [](const Waker& w) { return w->spent(); });
  wakers.push_back(waker);
  return std::nullopt;
}

void IoRegistration::clear_ready(Interest interest, Ready observed) {
  std::lock_guard lock(mutex_);
  if (observed.tick != tick_) return;  // an event arrived meanwhile: keep the readiness
  (interest == Interest::Read ? readable_ : writable_) = false;
}

void IoRegistration::on_event(uint32_t events) {
  std::vector<Waker> readers, writers;
  {
    std::lock_guard lock(mutex_);
    ++tick_;
    // Errors and hang-ups make both directions "ready" so the next call reports them.
    const uint32_t failure = EPOLLERR | EPOLLHUP;
    if (events & (EPOLLIN | EPOLLRDHUP | failure)) {
      readable_ = true;
      readers.swap(read_wakers_);
    }
    if (events & (EPOLLOUT | failure)) {
      writable_ = true;
      writers.swap(write_wakers_);
    }
  }
  // The latest waiter first: a thread that started waiting after a socket's own task (a receive
  // reading the socket itself) is the one a frame is for.
  for (auto it = readers.rbegin(); it != readers.rend(); ++it) (*it)->wake();
  for (auto it = writers.rbegin(); it != writers.rend(); ++it) (*it)->wake();
}

Reactor::Reactor() {
  // Each descriptor is owned as soon as it exists, so a failure below closes the earlier ones.
  epoll_fd_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_fd_) throw_errno("epoll_create1");
  timer_fd_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer_fd_) throw_errno("timerfd_create");
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) throw_errno("pipe2");
  signal_read_.reset(pipe_fds[0]);
  signal_write_.reset(pipe_fds[1]);

  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTimerTag;
  if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, timer_fd_.get(), &ev) != 0) {
    throw_errno("epoll_ctl");
  }
  ev.data.u64 = kSignalTag;
  if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, signal_read_.get(), &ev) != 0) {
    throw_errno("epoll_ctl");
  }
}

void Reactor::start() {
  start_named_thread("varnex-reactor", [this] { run(); });
}

std::shared_ptr<IoRegistration> Reactor::register_fd(int fd) {
  auto registration = std::make_shared<IoRegistration>();
  {
    std::lock_guard lock(io_mutex_);
    io_[fd] = registration;
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = static_cast<uint64_t>(fd);
  if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
    int saved = errno;
    std::lock_guard lock(io_mutex_);
    io_.erase(fd);
    throw std::system_error(saved, std::generic_category(), "epoll_ctl");
  }
  return registration;
}

void Reactor::deregister_fd(int fd) {
  epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, fd, nullptr);
  std::lock_guard lock(io_mutex_);
  io_.erase(fd);
}

Reactor::TimerKey Reactor::add_timer(Instant deadline, Waker waker) {
  std::lock_guard lock(timers_mutex_);
  TimerKey key{deadline, next_timer_id_++};
  timers_.emplace(key, std::move(waker));
  if (!armed_for_ || deadline < *armed_for_) arm_timerfd_locked();
  return key;
}

void Reactor::cancel_timer(TimerKey key) {
  // The timerfd stays armed for the old deadline; that wake-up then finds nothing due.
  std::lock_guard lock(timers_mutex_);
  timers_.erase(key);
}

void Reactor::arm_timerfd_locked() {
  itimerspec spec{};
  if (timers_.empty()) {
    armed_for_.reset();
  } else {
    Instant deadline = timers_.begin()->first.first;
    spec.it_value = to_timespec(deadline);
    armed_for_ = deadline;
  }
  timerfd_settime(timer_fd_.get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void Reactor::fire_timers() {
  uint64_t expirations;
  while (read(timer_fd_.get(), &expirations, sizeof expirations) > 0) {
  }
  std::vector<Waker> due;
  {
    std::lock_guard lock(timers_mutex_);
    Instant now = Clock::now();
    auto end = timers_.upper_bound(TimerKey{now, UINT64_MAX});
    for (auto it = timers_.begin(); it != end; ++it) due.push_back(std::move(it->second));
    timers_.erase(timers_.begin(), end);
    arm_timerfd_locked();
  }
  for (auto& waker : due) waker->wake();
}

void Reactor::drain_signal_pipe() {
  unsigned char buffer[64];
  while (read(signal_read_.get(), buffer, sizeof buffer) > 0) {
  }
  wake_signal_listeners();
}

void Reactor::run() {
  std::vector<epoll_event> events(64);
  for (;;) {
    int n = epoll_wait(epoll_fd_.get(), events.data(), static_cast<int>(events.size()), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Only a broken descriptor or argument gets here, and it fails again at once: looping
      // would spin a core and leave every waiter asleep for ever. There is no caller to tell.
      fail_fatally("epoll_wait", errno);
    }
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kTimerTag) {
        fire_timers();
      } else if (tag == kSignalTag) {
        drain_signal_pipe();
      } else {
        std::shared_ptr<IoRegistration> registration;
        {
          std::lock_guard lock(io_mutex_);
          auto it = io_.find(static_cast<int>(tag));
          if (it != io_.end()) registration = it->second;
        }
        if (registration) registration->on_event(events[i].events);
      }
    }
  }
}

}  // namespace varnex::rt
