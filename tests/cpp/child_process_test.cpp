// run_child's bound on what it keeps of a child's output (the provisioning tests drive the rest
// through ensure_can_interface).
#include "can/child_process.hpp"

#include <gtest/gtest.h>

using varnex::ChildEnd;
using varnex::ChildStdio;
using varnex::kChildOutputLimit;
using varnex::run_child;

TEST(ChildProcess, OutputBeyondTheLimitIsReadAndDiscarded) {
  // 20 MB on stdout: the child is not blocked by a full pipe, and only the limit is kept.
  const auto run = run_child({"sh", "-c", "head -c 20000000 /dev/zero | tr '\\0' o; echo done >&2"},
                             ChildStdio::Captured);
  EXPECT_EQ(run.end, ChildEnd::Exited);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output, std::string(kChildOutputLimit, 'o'));
  EXPECT_TRUE(run.wrote_errors);
}
