#include "common/os_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

TEST(OsErrorText, DescriptionThenErrnoNumber) {
  EXPECT_EQ(varnex::os_error_text(ENETDOWN), "Network is down (os error 100)");
  EXPECT_EQ(varnex::os_error_text(ENOBUFS), "No buffer space available (os error 105)");
  EXPECT_EQ(varnex::errno_name(ENODEV), "ENODEV");
}
