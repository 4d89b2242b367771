#include "runtime/reactor.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>

#include "common/unique_fd.hpp"
#include "runtime/runtime.hpp"

using namespace std::chrono_literals;
using namespace varnex;
using namespace varnex::rt;

namespace {

// Counts wake-ups from any thread.
class AtomicExecutor final : public Executor {
 public:
  void schedule(Job) override { wakes.fetch_add(1); }
  std::atomic<int> wakes{0};
};

Waker armed_waker(AtomicExecutor& executor) {
  auto waker = std::make_shared<WakeTarget>(&executor, Job{});
  waker->arm();
  return waker;
}

struct Pipe {
  UniqueFd read_end, write_end;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
      throw std::system_error(errno, std::generic_category());
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
};

int open_fd_count() {
  int n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

bool wait_until(const std::function<bool()>& done) {
  for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(1ms)) {
    if (done()) return true;
  }
  return done();
}

}  // namespace

// Each event must reach the registration of its own descriptor, and only that one.
TEST(Reactor, ReadinessOfSeveralDescriptorsWakesOnlyTheirOwnWaiters) {
  Reactor& reactor = Runtime::get().reactor();
  Pipe pipes[3];
  AtomicExecutor executors[3];
  std::shared_ptr<IoRegistration> registrations[3];
  for (int i = 0; i < 3; ++i) {
    registrations[i] = reactor.register_fd(pipes[i].read_end.get());
    ASSERT_FALSE(registrations[i]->poll_ready(Interest::Read, armed_waker(executors[i])));
  }
  for (int i : {0, 2}) ASSERT_EQ(write(pipes[i].write_end.get(), "x", 1), 1);

  EXPECT_TRUE(wait_until([&] { return executors[0].wakes == 1 && executors[2].wakes == 1; }));
  AtomicExecutor unused;
  EXPECT_TRUE(registrations[0]->poll_ready(Interest::Read, armed_waker(unused)));
  EXPECT_TRUE(registrations[2]->poll_ready(Interest::Read, armed_waker(unused)));
  EXPECT_FALSE(registrations[1]->poll_ready(Interest::Read, armed_waker(executors[1])));
  EXPECT_EQ(executors[1].wakes, 0);
  for (auto& pipe : pipes) reactor.deregister_fd(pipe.read_end.get());
}

// Two parties waiting for the same readiness (a socket's task and a receive reading it
// directly) are both woken; wakers that can no longer wake anything are not kept.
TEST(Reactor, EveryWaiterOfOneReadinessIsWokenAndSpentWakersAreDropped) {
  Reactor& reactor = Runtime::get().reactor();
  Pipe pipe;
  auto registration = reactor.register_fd(pipe.read_end.get());
  AtomicExecutor first, second;
  for (int i = 0; i < 1000; ++i) {  // a party polling often between events
    auto stale = armed_waker(first);
    ASSERT_FALSE(registration->poll_ready(Interest::Read, stale));
    stale->finish();
  }
  ASSERT_FALSE(registration->poll_ready(Interest::Read, armed_waker(first)));
  ASSERT_FALSE(registration->poll_ready(Interest::Read, armed_waker(second)));
  ASSERT_EQ(write(pipe.write_end.get(), "x", 1), 1);
  EXPECT_TRUE(wait_until([&] { return first.wakes == 1 && second.wakes == 1; }));
  reactor.deregister_fd(pipe.read_end.get());
}

// With room for only two more descriptors, the third one (the signal pipe) fails to open.
TEST(Reactor, AFailedSetupClosesTheDescriptorsItHadOpened) {
  int before = open_fd_count();
  int lowest_free[2], found = 0;
  for (int fd = 0; found < 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) lowest_free[found++] = fd;
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free[1] + 1);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  bool threw = false;
  try {
    Reactor reactor;
  } catch (const std::system_error& e) {
    threw = e.code().value() == EMFILE;
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(threw);
  EXPECT_EQ(open_fd_count(), before);
}

// A wait that fails for good must not leave the reactor spinning while every waiter sleeps.
TEST(ReactorDeathTest, AFailingEpollWaitEndsTheProcessWithTheReason) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    int epoll_fd = open("/dev/null", O_RDONLY);  // the lowest free number: the epoll's next
    close(epoll_fd);
    auto* reactor = new Reactor;  // never destroyed: its thread outlives this scope
    Pipe not_epoll;
    // Put a plain pipe in place of the epoll descriptor, so that every epoll_wait fails.
    dup2(not_epoll.read_end.get(), epoll_fd);
    reactor->start();
    std::this_thread::sleep_for(5s);  // bound: without the fatal exit the reactor loops for ever
    std::_Exit(0);
  };
  EXPECT_DEATH(run(), "Fatal: the task runtime's reactor failed: epoll_wait: Invalid argument");
}
