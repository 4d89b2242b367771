#include "can/bus_state.hpp"

#include <gtest/gtest.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>
#include <string>
#include <vector>

using namespace varnex;

namespace {

CanMessage error_frame(uint32_t classes, uint8_t controller = 0) {
  CanMessage m;
  m.id = classes;
  m.error = true;
  m.data = {0, controller, 0, 0, 0, 0, 0, 0};
  return m;
}

std::vector<std::string> names(const CanMessage& m) {
  std::vector<std::string> out;
  for (const char* n : error_class_names(m)) out.emplace_back(n);
  return out;
}

const LinkReading kVcanUp{true, true, std::nullopt};
LinkReading can_link(BusState state) { return {true, true, state}; }

}  // namespace

TEST(ErrorFrames, ClassesAndControllerDetailDecodeToNames) {
  using V = std::vector<std::string>;
  EXPECT_EQ(names(error_frame(CAN_ERR_ACK)), V{"no-ack"});
  EXPECT_EQ(names(error_frame(CAN_ERR_BUSOFF)), V{"bus-off"});
  EXPECT_EQ(names(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_WARNING)), V{"controller-warning"});
  EXPECT_EQ(names(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE)), V{"controller-passive"});
  EXPECT_EQ(names(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE)), V{"controller-active"});
  EXPECT_EQ(names(error_frame(CAN_ERR_CRTL)), V{"controller-problem"});
  EXPECT_EQ(names(error_frame(CAN_ERR_PROT | CAN_ERR_BUSERROR | CAN_ERR_RESTARTED)),
            (V{"protocol-violation", "bus-error", "restarted"}));
  EXPECT_EQ(names(error_frame(CAN_ERR_TX_TIMEOUT | CAN_ERR_LOSTARB | CAN_ERR_TRX | CAN_ERR_CNT)),
            (V{"tx-timeout", "lost-arbitration", "transceiver", "error-counters"}));
  // The detail byte counts only under CAN_ERR_CRTL, and a data frame reports nothing.
  EXPECT_EQ(names(error_frame(CAN_ERR_ACK, CAN_ERR_CRTL_TX_PASSIVE)), V{"no-ack"});
  CanMessage data_frame{CAN_ERR_ACK, {0, CAN_ERR_CRTL_TX_PASSIVE}};
  EXPECT_TRUE(names(data_frame).empty());
  // A frame shorter than the detail byte is a controller problem without detail.
  CanMessage short_frame = error_frame(CAN_ERR_CRTL);
  short_frame.data = {};
  EXPECT_EQ(names(short_frame), V{"controller-problem"});
}

TEST(ErrorFrames, StateOfAFrameTakesTheWorstItReports) {
  EXPECT_EQ(state_from_error_frame(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING)),
            BusState::Warning);
  EXPECT_EQ(state_from_error_frame(
                error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_WARNING | CAN_ERR_CRTL_TX_PASSIVE)),
            BusState::Passive);
  EXPECT_EQ(
      state_from_error_frame(error_frame(CAN_ERR_BUSOFF | CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE)),
      BusState::BusOff);
  EXPECT_EQ(state_from_error_frame(error_frame(CAN_ERR_RESTARTED)), BusState::Active);
  EXPECT_EQ(state_from_error_frame(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE)),
            BusState::Active);
  EXPECT_EQ(state_from_error_frame(error_frame(CAN_ERR_ACK | CAN_ERR_PROT)), std::nullopt);
  EXPECT_EQ(state_from_error_frame(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW)),
            std::nullopt);
}

TEST(BusStateRule, OnALinkWithoutStateErrorFramesLeadAndADownLinkIsStopped) {
  BusStateRule rule;
  EXPECT_EQ(rule.current(kVcanUp), BusState::Unknown);
  const std::vector<std::pair<CanMessage, BusState>> steps = {
      {error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_WARNING), BusState::Warning},
      {error_frame(CAN_ERR_ACK), BusState::Warning},  // reports no state: changes nothing
      {error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE), BusState::Passive},
      {error_frame(CAN_ERR_BUSOFF), BusState::BusOff},
      {error_frame(CAN_ERR_RESTARTED), BusState::Active},
  };
  for (const auto& [frame, state] : steps) {
    rule.saw_error_frame(frame);
    EXPECT_EQ(rule.current(kVcanUp), state) << bus_state_name(state);
  }
  EXPECT_EQ(rule.current({true, false, std::nullopt}), BusState::Stopped);
  EXPECT_EQ(rule.current(LinkReading{}), BusState::Stopped);
  EXPECT_EQ(rule.current(kVcanUp), BusState::Active);  // up again: the last frame's state
}

TEST(BusStateRule, OnACanLinkTheSourceThatChangedLastWins) {
  BusStateRule rule;
  // Nobody saw when the state the link is first read in began: a frame seen before wins.
  rule.saw_error_frame(error_frame(CAN_ERR_BUSOFF));
  EXPECT_EQ(rule.current(can_link(BusState::Active)), BusState::BusOff);
  EXPECT_EQ(rule.current(can_link(BusState::Passive)), BusState::Passive);
  EXPECT_EQ(rule.current(can_link(BusState::Active)), BusState::Active);
  // A frame after a change wins over the unchanged link state, on every later reading ...
  rule.saw_error_frame(error_frame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE));
  EXPECT_EQ(rule.current(can_link(BusState::Active)), BusState::Passive);
  EXPECT_EQ(rule.current(can_link(BusState::Active)), BusState::Passive);
  // ... until the controller's state changes.
  EXPECT_EQ(rule.current(can_link(BusState::Warning)), BusState::Warning);
  EXPECT_EQ(rule.current(can_link(BusState::Warning)), BusState::Warning);
  rule.saw_error_frame(error_frame(CAN_ERR_RESTARTED));
  EXPECT_EQ(rule.current(can_link(BusState::Warning)), BusState::Active);
  EXPECT_EQ(rule.current({true, false, BusState::Stopped}), BusState::Stopped);
}

namespace {

// An RTM_NEWLINK message as the kernel writes it: header, ifinfomsg, then attributes.
class LinkMessage {
 public:
  explicit LinkMessage(unsigned flags, uint16_t type = RTM_NEWLINK) {
    bytes_.resize(NLMSG_LENGTH(sizeof(ifinfomsg)));
    nlmsghdr header{};
    header.nlmsg_type = type;
    std::memcpy(bytes_.data(), &header, sizeof header);
    ifinfomsg info{};
    info.ifi_flags = flags;
    std::memcpy(bytes_.data() + NLMSG_HDRLEN, &info, sizeof info);
  }
  // Appends an attribute; returns its offset, for nest() to close it.
  std::size_t open(uint16_t type, const void* payload = nullptr, std::size_t size = 0) {
    const std::size_t at = bytes_.size();
    rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(size)), type};
    bytes_.resize(at + RTA_SPACE(size));
    std::memcpy(bytes_.data() + at, &attribute, sizeof attribute);
    if (size > 0) std::memcpy(bytes_.data() + at + RTA_LENGTH(0), payload, size);
    return at;
  }
  void close(std::size_t at) {
    const auto length = static_cast<unsigned short>(bytes_.size() - at);
    std::memcpy(bytes_.data() + at, &length, sizeof length);
  }
  std::vector<uint8_t> done() {
    const auto length = static_cast<uint32_t>(bytes_.size());
    std::memcpy(bytes_.data(), &length, sizeof length);
    return bytes_;
  }

 private:
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> link_of_kind(const char* kind, std::optional<uint32_t> can_state,
                                  unsigned flags = IFF_UP) {
  LinkMessage m(flags);
  const uint32_t mtu = 16;
  m.open(IFLA_MTU, &mtu, sizeof mtu);
  const std::size_t info = m.open(IFLA_LINKINFO | NLA_F_NESTED);
  m.open(IFLA_INFO_KIND, kind, std::strlen(kind) + 1);
  if (can_state) {
    const std::size_t data = m.open(IFLA_INFO_DATA | NLA_F_NESTED);
    const uint32_t bitrate = 1000000;
    m.open(IFLA_CAN_CTRLMODE, &bitrate, sizeof bitrate);
    m.open(IFLA_CAN_STATE, &*can_state, sizeof *can_state);
    m.close(data);
  }
  m.close(info);
  return m.done();
}

}  // namespace

TEST(LinkMessage, ACanLinksStateAndFlagsAreRead) {
  std::optional<LinkReading> r = parse_link_message(link_of_kind("can", CAN_STATE_ERROR_PASSIVE));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->present && r->up);
  EXPECT_EQ(r->kernel_state, BusState::Passive);
  r = parse_link_message(link_of_kind("can", CAN_STATE_BUS_OFF, 0));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->up);
  EXPECT_EQ(r->kernel_state, BusState::BusOff);
  EXPECT_EQ(parse_link_message(link_of_kind("can", CAN_STATE_STOPPED))->kernel_state,
            BusState::Stopped);
  // vcan (and "canfd"-like kinds that only start with "can") keep no bus state.
  EXPECT_EQ(parse_link_message(link_of_kind("vcan", std::nullopt))->kernel_state, std::nullopt);
  EXPECT_EQ(parse_link_message(link_of_kind("cankind", CAN_STATE_ERROR_PASSIVE))->kernel_state,
            std::nullopt);
}

TEST(LinkMessage, ShortOrForeignMessagesReadNoState) {
  std::vector<uint8_t> message = link_of_kind("can", CAN_STATE_ERROR_WARNING);
  EXPECT_FALSE(parse_link_message(LinkMessage(IFF_UP, RTM_DELLINK).done()));
  EXPECT_FALSE(parse_link_message(std::span(message).first(8)));
  // Cut inside the nested attributes: the outer length claims more than there is.
  std::vector<uint8_t> cut(message.begin(), message.end() - 4);
  const auto length = static_cast<uint32_t>(cut.size());
  std::memcpy(cut.data(), &length, sizeof length);
  std::optional<LinkReading> r = parse_link_message(cut);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kernel_state, std::nullopt);
}

TEST(LinkMessage, TheKernelAnswersForLoopbackAndNotForAMissingName) {
  const LinkReading lo = read_link("lo");
  EXPECT_TRUE(lo.present && lo.up);
  EXPECT_EQ(lo.kernel_state, std::nullopt);
  EXPECT_FALSE(read_link("no-such-if0").present);
}
