// Running an external program to completion, found through PATH.
// Safe to call from a multi-threaded process: children are started with posix_spawnp, never a
// bare fork.
#pragma once

#include <string>
#include <vector>

namespace varnex {

enum class ChildStdio {
  Captured,   // stdin is empty (/dev/null); stdout is collected; stderr is read and discarded
  Inherited,  // the child shares this process's stdin, stdout and stderr (so it can prompt)
};

struct ChildRun {
  // errno when the program could not be started (not found, not executable, ...) or could not
  // be waited for; 0 when it ran to the end.
  int start_error = 0;
  // It ran and exited normally with status 0 (a signal or any other status is a failure).
  bool succeeded = false;
  // Its standard output, with ChildStdio::Captured.
  std::string output;
};

// argv[0] is the program name, looked up through PATH. Blocks until the child has ended.
ChildRun run_child(const std::vector<std::string>& argv, ChildStdio stdio);

}  // namespace varnex
