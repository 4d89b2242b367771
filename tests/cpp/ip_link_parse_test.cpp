#include "can/ip_link_parse.hpp"

#include <gtest/gtest.h>

using varnex::LinkState;
using varnex::parse_ip_link_details;

namespace {

// Captured from a real kernel (iproute2 6.1); lines 2 and 3 end with a blank.
constexpr const char* kVcanOutput =
    "2: vcan0: <NOARP,UP,LOWER_UP> mtu 72 qdisc noqueue state UNKNOWN mode DEFAULT group default "
    "qlen 1000\n"
    "    link/can  promiscuity 0  allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 tso_max_size 65536 "
    "tso_max_segs 65535 gro_max_size 65536 \n";

constexpr const char* kHardwareOutput =
    "3: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default "
    "qlen 10\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n"
    "\t  bitrate 1000000 sample-point 0.750\n"
    "\t  tq 12 prop-seg 29 phase-seg1 30 phase-seg2 20 sjw 1\n";

std::string hardware_with(std::string_view flags, std::string_view bitrate_line) {
  return "3: can0: <" + std::string(flags) + "> mtu 16 qdisc pfifo_fast state UP\n" +
         "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n" +
         std::string(bitrate_line) + "\n";
}

}  // namespace

TEST(IpLinkParse, RealVirtualInterfaceIsUpWithoutBitrate) {
  EXPECT_EQ(parse_ip_link_details(kVcanOutput), (LinkState{true, std::nullopt, true, "can"}));
}

TEST(IpLinkParse, RealHardwareInterfaceIsUpAtItsBitrate) {
  EXPECT_EQ(parse_ip_link_details(kHardwareOutput), (LinkState{true, 1000000u, false, "can"}));
}

TEST(IpLinkParse, UpOnlyWhenAFlagIsExactlyUp) {
  const char* line = "\t  bitrate 500000 sample-point 0.875";
  EXPECT_TRUE(parse_ip_link_details(hardware_with("NOARP,UP,LOWER_UP,ECHO", line)).up);
  EXPECT_TRUE(parse_ip_link_details(hardware_with("UP", line)).up);
  EXPECT_FALSE(parse_ip_link_details(hardware_with("NOARP,ECHO", line)).up);
  EXPECT_FALSE(parse_ip_link_details(hardware_with("NOARP,LOWER_UP,ECHO", line)).up);
  EXPECT_FALSE(parse_ip_link_details(hardware_with("NOARP,up,ECHO", line)).up);
  EXPECT_FALSE(parse_ip_link_details(hardware_with("NOARP, UP", line)).up);
  EXPECT_FALSE(parse_ip_link_details(hardware_with("", line)).up);
}

TEST(IpLinkParse, OnlyTheFirstAngleBracketListCounts) {
  EXPECT_FALSE(parse_ip_link_details("3: can0: <NOARP,ECHO> mtu 16\n    alias <UP>\n").up);
  EXPECT_FALSE(parse_ip_link_details("3: can0: NOARP,UP mtu 16\n").up);          // no "<"
  EXPECT_FALSE(parse_ip_link_details("3: can0: <NOARP,UP mtu 16\n").up);         // no ">"
  EXPECT_FALSE(parse_ip_link_details("3: can0: NOARP,UP> <ECHO> mtu 16\n").up);  // ">" before "<"
  EXPECT_EQ(parse_ip_link_details(""), LinkState{});
}

TEST(IpLinkParse, BitrateAbsentWhenNotANumberOrTooLarge) {
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate 4294967295")).bitrate,
            4294967295u);
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate 4294967296")).bitrate,
            std::nullopt);
  EXPECT_EQ(
      parse_ip_link_details(hardware_with("UP", "\t  bitrate 99999999999999999999999")).bitrate,
      std::nullopt);
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate sample-point")).bitrate,
            std::nullopt);
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate ")).bitrate, std::nullopt);
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate -5")).bitrate, std::nullopt);
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate 1000000kbit")).bitrate,
            1000000u);
  // "bitrate" needs its trailing blank.
  EXPECT_EQ(parse_ip_link_details(hardware_with("UP", "\t  bitrate\t1000000")).bitrate,
            std::nullopt);
}

TEST(IpLinkParse, FirstBitrateLineDecidesEvenWithoutDigits) {
  EXPECT_EQ(parse_ip_link_details("<UP>\n bitrate 500000\n bitrate 1000000\n").bitrate, 500000u);
  EXPECT_EQ(parse_ip_link_details("<UP>\n bitrate none\n bitrate 1000000\n").bitrate, std::nullopt);
  // Within the line, the first occurrence is read.
  EXPECT_EQ(parse_ip_link_details("<UP>\n bitrate x dbitrate 2000000\n").bitrate, std::nullopt);
  EXPECT_EQ(parse_ip_link_details("<UP>\n dbitrate 2000000 bitrate 5\n").bitrate, 2000000u);
}

TEST(IpLinkParse, CarriageReturnLineEndsAreAccepted) {
  const std::string crlf =
      "3: can0: <NOARP,UP,LOWER_UP>\r\n    can state ERROR-ACTIVE\r\n\t  bitrate 1000000\r\n"
      "    vcan\r\n";
  EXPECT_EQ(parse_ip_link_details(crlf), (LinkState{true, 1000000u, true, ""}));
  EXPECT_EQ(parse_ip_link_details("<UP>\r\n bitrate \r\n bitrate 7\r\n").bitrate, std::nullopt);
}

TEST(IpLinkParse, InvalidUtf8DoesNotChangeTheResult) {
  std::string noisy =
      "3: can0\xff\xfe: <NOARP,\xc3UP,UP,\xe2\x82> mtu \x80\n"
      "    can \xf0\x9f state\n"
      "\t  \xed\xa0\x80 bitrate 1000000\xc0 sample-point\n";
  EXPECT_EQ(parse_ip_link_details(noisy), (LinkState{true, 1000000u, false, ""}));
  // A broken sequence right before an ASCII byte must not swallow it.
  EXPECT_EQ(parse_ip_link_details("<\xe2UP,\xe2>\n\xc3 bitrate \xe2"
                                  "42\n\xf0vcan x\n"),
            (LinkState{false, std::nullopt, false, ""}));
  EXPECT_EQ(parse_ip_link_details("<\xe2,UP>\n\xc3 bitrate 42\xe2\n \t vcan\xff x\n"),
            (LinkState{true, 42u, false, ""}));
}

TEST(IpLinkParse, VirtualOnlyWhenADetailsLineStartsWithVcanOrVxcan) {
  EXPECT_TRUE(parse_ip_link_details("5: p0@p1: <NOARP,UP>\n    vxcan peer p1\n").is_virtual);
  EXPECT_TRUE(parse_ip_link_details("2: vcan0: <NOARP>\n\tvcan\n").is_virtual);
  EXPECT_FALSE(parse_ip_link_details(kHardwareOutput).is_virtual);
  EXPECT_FALSE(parse_ip_link_details("2: vcan: <NOARP,UP>\n    link/can\n").is_virtual);
  EXPECT_FALSE(parse_ip_link_details("2: x: <UP>\n    vcanfd numtxqueues 1\n").is_virtual);
}

TEST(IpLinkParse, LinkTypeComesFromTheFirstLinkLine) {
  EXPECT_EQ(parse_ip_link_details(kVcanOutput).link_type, "can");
  EXPECT_EQ(parse_ip_link_details("2: eth0: <UP>\n    link/ether 52:54:00:12:34:56\n").link_type,
            "ether");
  EXPECT_EQ(parse_ip_link_details("3: can0: <NOARP>\n").link_type, "");
}
