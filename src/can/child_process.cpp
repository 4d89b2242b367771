#include "can/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>

#include "common/unique_fd.hpp"
#include "runtime/clock.hpp"

extern char** environ;

namespace varnex {
namespace {

using Fd = UniqueFd;
using std::chrono::milliseconds;

// A pipe end is given a number of 3 or more: if this process runs with a standard stream
// closed, an end sitting on 0, 1 or 2 would be clobbered by the child's dup2 onto that number.
int move_above_stdio(int fd) {
  if (fd >= 3) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

// Close-on-exec, so that children started meanwhile by other threads do not hold our pipes
// open. Our end does not block: once the child has exited, we read only what is there.
int make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end.reset(move_above_stdio(fds[0]));
  if (read_end.get() < 0) {
    const int err = errno;
    ::close(fds[1]);
    return err;
  }
  write_end.reset(move_above_stdio(fds[1]));
  if (write_end.get() < 0) return errno;
  if (::fcntl(read_end.get(), F_SETFL, O_NONBLOCK) != 0) return errno;
  return 0;
}

struct SpawnSettings {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
};

// A descriptor that becomes readable when the child exits, so one poll waits for the exit and
// the output together. -1 where the kernel has none (before Linux 5.3) or when the child is
// already gone (reaped by the kernel, SIGCHLD ignored).
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// The child's two output pipes: stdout kept up to kChildOutputLimit, stderr only noticed.
class Output {
 public:
  Output(Fd out, Fd err, ChildRun& run) : run_(run) {
    fds_[0] = std::move(out);
    fds_[1] = std::move(err);
  }

  // poll entries for the pipes still open (negative fds are ignored by poll).
  pollfd entry(std::size_t i) const { return {fds_[i] ? fds_[i].get() : -1, POLLIN, 0}; }

  // Reads what is there now from pipe i; at its end of file the pipe is closed. A grandchild
  // that writes without pause can keep a pipe full, so one call reads at most a few buffers.
  void read_available(std::size_t i) {
    std::array<char, 16384> buffer;
    for (int round = 0; round < 64 && fds_[i]; ++round) {
      const ssize_t n = ::read(fds_[i].get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      if (n <= 0) {
        fds_[i].reset();
        return;
      }
      if (i == 1) {
        run_.wrote_errors = true;
      } else if (run_.output.size() < kChildOutputLimit) {
        const std::size_t room = kChildOutputLimit - run_.output.size();
        run_.output.append(buffer.data(), std::min(room, static_cast<std::size_t>(n)));
      }
    }
  }

  void read_all_available() {
    read_available(0);
    read_available(1);
  }

 private:
  std::array<Fd, 2> fds_;
  ChildRun& run_;
};

// Takes the ended child's status: Exited or Signaled, or StatusUnknown when it was reaped
// elsewhere (the kernel itself, with SIGCHLD ignored).
void reap(pid_t pid, ChildRun& run) {
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) break;
    if (errno == EINTR) continue;
    run.end = ChildEnd::StatusUnknown;
    return;
  }
  if (WIFEXITED(status)) {
    run.end = ChildEnd::Exited;
    run.exit_status = WEXITSTATUS(status);
  } else {
    run.end = ChildEnd::Signaled;
  }
}

// True once the child has ended; never waits.
bool has_ended(pid_t pid, const Fd& pidfd) {
  if (pidfd) {
    pollfd exit_event{pidfd.get(), POLLIN, 0};
    return ::poll(&exit_event, 1, 0) > 0;
  }
  siginfo_t info{};
  // WNOWAIT leaves the status for reap(); ECHILD means the kernel reaped it already.
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;
  }
  return info.si_pid == pid;
}

// Ends a child we gave up on. A child we may not signal (sudo runs as root) is left to end by
// itself, unwaited: nothing here may hang on it.
void kill_and_reap(pid_t pid, const Fd& pidfd, ChildRun& run, ChildEnd why) {
  if (::kill(pid, SIGKILL) == 0 || errno == ESRCH) {
    if (pidfd) {
      pollfd exit_event{pidfd.get(), POLLIN, 0};
      while (::poll(&exit_event, 1, 1000) < 0 && errno == EINTR) {
      }
    }
    int status;
    while (::waitpid(pid, &status, pidfd ? WNOHANG : 0) < 0 && errno == EINTR) {
    }
  }
  run.end = why;
}

}  // namespace

bool ChildRun::succeeded() const {
  if (end == ChildEnd::Exited) return exit_status == 0;
  if (end == ChildEnd::StatusUnknown) return !wrote_errors;
  return false;
}

ChildRun run_child(const std::vector<std::string>& argv, ChildStdio stdio,
                   const ChildLimits& limits) {
  ChildRun run;
  if (argv.empty()) {
    run.start_error = EINVAL;
    return run;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const bool captured = stdio == ChildStdio::Captured;
  Fd out_read, out_write, err_read, err_write;
  if (captured) {
    if (int e = make_pipe(out_read, out_write)) {
      run.start_error = e;
      return run;
    }
    if (int e = make_pipe(err_read, err_write)) {
      run.start_error = e;
      return run;
    }
  }

  SpawnSettings settings;
  // The child starts with no blocked signals and with SIGPIPE and SIGCHLD at their defaults:
  // the caller's thread may block signals, Python ignores SIGPIPE, and a program that ignores
  // SIGCHLD would pass that on (ignored signals stay ignored across exec) to children that may
  // wait for children of their own, as sudo does.
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&settings.attr, &empty_mask);
  posix_spawnattr_setsigdefault(&settings.attr, &defaults);
  posix_spawnattr_setflags(&settings.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (captured) {
    posix_spawn_file_actions_addopen(&settings.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&settings.actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&settings.actions, err_write.get(), 2);
  }

  // glibc's posix_spawnp waits until the exec has happened and returns its errno, so a
  // program that is missing or not executable is reported here and never as exit status 127.
  pid_t pid = -1;
  const int spawn_error =
      posix_spawnp(&pid, args[0], &settings.actions, &settings.attr, args.data(), environ);
  if (spawn_error != 0) {
    run.start_error = spawn_error;
    return run;
  }
  out_write.reset();
  err_write.reset();
  Output output(std::move(out_read), std::move(err_read), run);
  const Fd pidfd(open_pidfd(pid));

  const std::optional<rt::Instant> limit_end =
      limits.time_limit ? rt::deadline_after(*limits.time_limit) : std::nullopt;
  const bool limited = limit_end.has_value();
  const rt::Instant deadline = limit_end.value_or(rt::Instant::max());
  // The poll wakes for the exit (pidfd), for output and at the deadline. It wakes more often
  // only to run the interrupt check, and where the kernel has no pidfd, to look for the exit.
  const bool slices = limits.interrupted || !pidfd;
  for (;;) {
    if (has_ended(pid, pidfd)) {
      // Whatever it wrote before it exited is in the pipes now; later writes are a grandchild's.
      output.read_all_available();
      reap(pid, run);
      return run;
    }
    if (limits.interrupted && limits.interrupted()) {
      kill_and_reap(pid, pidfd, run, ChildEnd::Interrupted);
      return run;
    }
    int timeout_ms = -1;
    if (limited) {
      const rt::Instant now = rt::Clock::now();
      if (now >= deadline) {
        kill_and_reap(pid, pidfd, run, ChildEnd::TimedOut);
        return run;
      }
      // Rounded up, so the poll does not wake just before the deadline.
      timeout_ms = static_cast<int>(std::chrono::ceil<milliseconds>(deadline - now).count());
    }
    if (slices) {
      const int slice = static_cast<int>(rt::kInterruptCheckPeriod.count());
      timeout_ms = timeout_ms < 0 ? slice : std::min(timeout_ms, slice);
    }
    std::array<pollfd, 3> fds{output.entry(0), output.entry(1),
                              pollfd{pidfd ? pidfd.get() : -1, POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
      // Only a lack of kernel memory makes this poll fail; ending the child beats spinning.
      kill_and_reap(pid, pidfd, run, ChildEnd::TimedOut);
      return run;
    }
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[i].revents != 0) output.read_available(i);
    }
  }
}

}  // namespace varnex
