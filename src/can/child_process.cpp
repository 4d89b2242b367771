#include "can/child_process.hpp"

#include "common/unique_fd.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varnex {
namespace {

using Fd = UniqueFd;

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

// Close-on-exec, so that children started meanwhile by other threads do not hold our pipes open.
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
  return 0;
}

// Reads both pipes together until both reach end of file, so a child that fills one of them
// while we wait on the other cannot deadlock. Returns what came through `out`.
std::string drain(Fd& out, Fd& err) {
  std::string collected;
  std::array<char, 16384> buffer;
  std::array<pollfd, 2> fds{{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        fds[i].fd = -1;  // poll ignores negative descriptors
        --open_count;
        continue;
      }
      if (i == 0) collected.append(buffer.data(), static_cast<size_t>(n));
    }
  }
  out.reset();
  err.reset();
  return collected;
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

}  // namespace

ChildRun run_child(const std::vector<std::string>& argv, ChildStdio stdio) {
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
  // The child starts with no blocked signals and with SIGPIPE at its default: the caller's
  // thread may block signals, and Python ignores SIGPIPE, which would otherwise carry over.
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
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

  if (captured) {
    out_write.reset();
    err_write.reset();
    run.output = drain(out_read, err_read);
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      run.start_error = errno;
      return run;
    }
  }
  run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

}  // namespace varnex
