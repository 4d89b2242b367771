// Opening a CAN socket: the error texts for a missing interface and for a failed socket or bind.
// These hold on any kernel; sending and receiving are tested against vcan in the Python tests.
#include "can/can_socket.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "can/can_device_async.hpp"
#include "runtime/runtime.hpp"

using varnex::CanSocket;
using varnex::ErrorKind;
namespace rt = varnex::rt;

TEST(CanSocketOpen, MissingInterfaceNamesTheErrnoSymbolAndItsDescription) {
  auto opened = CanSocket::open("nosuch0");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind, ErrorKind::Os);
  EXPECT_EQ(opened.error().message, "CAN Device not found: ENODEV: No such device");
}

TEST(CanSocketOpen, SocketOrBindFailureIsAnIoErrorAndLeavesNoDescriptorOpen) {
  // "lo" exists but is no CAN interface: without CAN in the kernel socket() fails
  // (EAFNOSUPPORT); with it, bind() refuses the interface (ENODEV).
  auto probe = CanSocket::open("lo");  // creates the runtime and its descriptors first
  ASSERT_FALSE(probe.ok());
  const int before = ::dup(0);
  ::close(before);
  auto opened = CanSocket::open("lo");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind, ErrorKind::Os);
  EXPECT_TRUE(std::regex_match(
      opened.error().message,
      std::regex(
          R"(IO: (Address family not supported by protocol \(os error 97\)|No such device \(os error 19\)))")))
      << opened.error().message;
  const int after = ::dup(0);
  ::close(after);
  EXPECT_EQ(after, before) << "the socket created before the failure was not closed";
}

TEST(CanSocketOpen, OpenWorksOnARuntimeWorker) {
  auto on_worker = []() -> rt::Task<std::string> {
    co_return CanSocket::open("nosuch0").error().message;
  };
  EXPECT_EQ(rt::block_on(rt::spawn(on_worker()).join()),
            "CAN Device not found: ENODEV: No such device");
}

// Creation enters the runtime through block_in_place, so a task may create a device: the result
// is the device's own error, not the fatal "Cannot start a runtime from within a runtime".
TEST(CanDeviceAsyncCreate, FromARuntimeWorkerReportsTheInterfaceErrorNotAFatalError) {
  if (::access("/usr/sbin/ip", X_OK) != 0 && ::access("/sbin/ip", X_OK) != 0 &&
      ::access("/usr/bin/ip", X_OK) != 0 && ::access("/bin/ip", X_OK) != 0) {
    GTEST_SKIP() << "needs the ip tool";
  }
  auto on_worker = []() -> rt::Task<std::string> {
    auto created = varnex::CanDeviceAsync::create("nosuch0");
    co_return created.ok() ? std::string("created") : created.error().message;
  };
  EXPECT_EQ(rt::block_on(rt::spawn(on_worker()).join()), "CAN interface 'nosuch0' does not exist");
}
