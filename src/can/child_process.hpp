// Running an external program to its end, found through PATH.
// Safe to call from a multi-threaded process: children are started with posix_spawnp, never a
// bare fork.
//
// The wait is for the child's exit, not for the end of its output: a grandchild that inherited
// the pipes (a daemon the program started) may hold them open for as long as it lives. What
// the child wrote before it exited is read; what comes later is not waited for.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "runtime/completion.hpp"

namespace varnex {

enum class ChildStdio {
  Captured,   // stdin is empty (/dev/null); stdout is collected; stderr is read and discarded
  Inherited,  // the child shares this process's stdin, stdout and stderr (so it can prompt)
};

// Standard output kept of one run; the rest is read and discarded, so a child that prints
// without end costs no memory and never blocks on a full pipe.
inline constexpr std::size_t kChildOutputLimit = 64 * 1024;

struct ChildLimits {
  // How long the child may run; past it, it is killed (SIGKILL). None: no limit.
  std::optional<std::chrono::milliseconds> time_limit;
  // Called at least every rt::kInterruptCheckPeriod while the child runs; when it returns true
  // the child is killed and the run ends.
  rt::InterruptCheck interrupted;
};

enum class ChildEnd {
  NotStarted,  // start_error says why
  Exited,      // it exited with exit_status
  Signaled,    // a signal ended it (not one of ours)
  // It ended, but its exit status was taken before we could wait for it: when the process
  // ignores SIGCHLD (signal.signal(SIGCHLD, SIG_IGN), common in daemons) the kernel reaps
  // children itself and their status is lost; another waitpid(-1) in the process can do the same.
  StatusUnknown,
  TimedOut,     // killed at the time limit
  Interrupted,  // killed because the interrupt check asked
};

struct ChildRun {
  ChildEnd end = ChildEnd::NotStarted;
  // errno when the program could not be started (not found, not executable, no pipe, ...).
  int start_error = 0;
  int exit_status = -1;  // with ChildEnd::Exited
  // Its standard output (ChildStdio::Captured), at most kChildOutputLimit bytes.
  std::string output;
  // It wrote something on its standard error (ChildStdio::Captured).
  bool wrote_errors = false;

  // It exited with status 0; or, its status being unknown, it wrote nothing on its standard
  // error, where a program that fails says why (an inherited stderr is not seen, so there an
  // unknown status counts as success, as Python's subprocess takes it). A signal, a kill or any
  // other status is a failure.
  bool succeeded() const;
};

// argv[0] is the program name, looked up through PATH. Returns once the child has ended.
ChildRun run_child(const std::vector<std::string>& argv, ChildStdio stdio,
                   const ChildLimits& limits = {});

}  // namespace varnex
