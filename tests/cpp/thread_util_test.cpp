#include "runtime/thread_util.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <future>

namespace varnex::rt {
namespace {

bool blocked(int signo) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signo) == 1;
}

struct Masks {
  bool runtime_sigint, runtime_sigterm;  // outside any StarterSignalMask
  bool python_sigint, python_sigusr2;    // inside one
  bool after_sigint;                     // after it ended
};

Masks masks_on_a_started_thread() {
  std::promise<Masks> seen;
  start_named_thread("mask-test", [&seen] {
    Masks m{};
    m.runtime_sigint = blocked(SIGINT);
    m.runtime_sigterm = blocked(SIGTERM);
    {
      StarterSignalMask python;
      m.python_sigint = blocked(SIGINT);
      m.python_sigusr2 = blocked(SIGUSR2);
    }
    m.after_sigint = blocked(SIGINT);
    seen.set_value(m);
  });
  return seen.get_future().get();
}

TEST(StarterSignalMask, GivesTheCreatorsMaskOnlyForItsScope) {
  sigset_t usr2, previous;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &usr2, &previous);  // the creator's own choice is passed on
  const Masks m = masks_on_a_started_thread();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  EXPECT_TRUE(m.runtime_sigint);
  EXPECT_TRUE(m.runtime_sigterm);
  EXPECT_FALSE(m.python_sigint);
  EXPECT_TRUE(m.python_sigusr2);
  EXPECT_TRUE(m.after_sigint);
}

TEST(StarterSignalMask, ChangesNothingOnOtherThreads) {
  sigset_t before, inside;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  {
    AsyncSignalsBlocked runtime_mask;  // as a foreign thread might have it
    StarterSignalMask python;
    EXPECT_TRUE(blocked(SIGINT));
  }
  pthread_sigmask(SIG_BLOCK, nullptr, &inside);
  EXPECT_EQ(sigismember(&before, SIGINT), sigismember(&inside, SIGINT));
}

}  // namespace
}  // namespace varnex::rt
