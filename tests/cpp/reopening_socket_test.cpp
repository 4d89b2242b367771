// The reopen policy driven without a kernel: a socket whose interface can be made to vanish, and
// a set of interface names standing for the system's.
#include "can/reopening_socket.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <set>
#include <string>

using varnex::Error;
using varnex::Result;

namespace {

struct FakeSocket {
  int serial = 0;
  bool gone = false;
  bool interface_gone() const { return gone; }
};

struct FakeSystem {
  std::set<std::string> interfaces{"can0"};
  bool opening_fails = false;
  int opened = 0;

  varnex::BasicReopeningSocket<FakeSocket> socket_on(const std::string& name) {
    return {name, std::make_unique<FakeSocket>(), [this](const std::string& n) { return open(n); },
            [this](const std::string& n) { return interfaces.count(n) > 0; }};
  }

  Result<std::unique_ptr<FakeSocket>> open(const std::string& name) {
    if (interfaces.count(name) == 0)
      return Error::os("CAN Device not found: ENODEV: No such device");
    if (opening_fails) return Error::os("IO: Permission denied (os error 13)");
    auto socket = std::make_unique<FakeSocket>();
    socket->serial = ++opened;
    return socket;
  }
};

using Outcome = varnex::BasicReopeningSocket<FakeSocket>::Outcome;

}  // namespace

TEST(ReopeningSocket, LooksForAGoneInterfaceAndReopensOnceItIsBack) {
  FakeSystem system;
  auto socket = system.socket_on("can0");
  EXPECT_EQ(socket.look().outcome, Outcome::Usable);
  EXPECT_EQ(system.opened, 0) << "a healthy socket is never replaced";

  socket.current()->gone = true;
  system.interfaces.erase("can0");
  auto missing = socket.look();
  EXPECT_EQ(missing.outcome, Outcome::Missing);
  EXPECT_EQ(missing.error.message, "CAN Device not found: ENODEV: No such device");
  EXPECT_TRUE(socket.current()->interface_gone());

  system.interfaces.insert("can0");
  system.opening_fails = true;
  auto refused = socket.look();
  EXPECT_EQ(refused.outcome, Outcome::CannotOpen);
  EXPECT_EQ(refused.error.message, "IO: Permission denied (os error 13)");

  system.opening_fails = false;
  EXPECT_EQ(socket.look().outcome, Outcome::Reopened);
  EXPECT_EQ(socket.current()->serial, 1);
  EXPECT_EQ(socket.look().outcome, Outcome::Usable);
}

// The first send after a re-created interface: its write is what finds the old socket unbound.
TEST(ReopeningSocket, AFailureThatMeansTheInterfaceIsGoneIsRetriedOnOneNewSocket) {
  FakeSystem system;
  auto socket = system.socket_on("can0");
  std::shared_ptr<FakeSocket> used = socket.current();
  EXPECT_EQ(socket.retry_socket(*used), nullptr) << "any other failure stands";

  used->gone = true;
  std::shared_ptr<FakeSocket> retry = socket.retry_socket(*used);
  ASSERT_NE(retry, nullptr);
  EXPECT_EQ(retry->serial, 1);
  // A second caller that failed on the same old socket takes the new one: nothing reopens twice.
  EXPECT_EQ(socket.retry_socket(*used), retry);
  EXPECT_EQ(system.opened, 1);

  retry->gone = true;
  system.interfaces.clear();
  EXPECT_EQ(socket.retry_socket(*used), nullptr) << "the replacement is gone too";
  EXPECT_EQ(socket.retry_socket(*retry), nullptr) << "still missing";
  EXPECT_EQ(system.opened, 1);
}

TEST(ReopeningSocket, ClosedHandsTheSocketBackAndRetriesNothing) {
  FakeSystem system;
  auto socket = system.socket_on("can0");
  std::shared_ptr<FakeSocket> used = socket.close();
  ASSERT_NE(used, nullptr);
  EXPECT_TRUE(socket.closed());
  used->gone = true;
  EXPECT_EQ(socket.retry_socket(*used), nullptr);
  EXPECT_EQ(system.opened, 0);
}

TEST(ReopeningSocket, OnlyTheUnboundSocketsErrorsMeanTheInterfaceIsGone) {
  EXPECT_TRUE(varnex::means_interface_gone(ENODEV));
  EXPECT_TRUE(varnex::means_interface_gone(ENXIO));
  EXPECT_FALSE(varnex::means_interface_gone(ENETDOWN));
  EXPECT_FALSE(varnex::means_interface_gone(ENOBUFS));
}
