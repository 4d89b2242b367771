#include "can/can_frame.hpp"

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <array>
#include <cstring>

using varnex::build_can_frame;
using varnex::CanMessage;
using varnex::ErrorKind;
using varnex::parse_can_frame;

namespace {

std::array<uint8_t, 16> bytes_of(const can_frame& frame) {
  std::array<uint8_t, 16> raw;
  std::memcpy(raw.data(), &frame, raw.size());
  return raw;
}

can_frame record(uint32_t id_word, uint8_t len, std::initializer_list<uint8_t> data) {
  can_frame frame;
  std::memset(&frame, 0, sizeof frame);
  frame.can_id = id_word;
  frame.len = len;
  std::copy(data.begin(), data.end(), frame.data);
  return frame;
}

}  // namespace

TEST(CanFrame, HighestStandardIdIsAStandardFrame) {
  auto frame = build_can_frame(0x7FF, {});
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame->can_id, 0x7FFu);
  EXPECT_EQ(frame->len, 0);
}

TEST(CanFrame, IdsAboveStandardRangeAreExtendedFrames) {
  const uint8_t one[] = {1};
  auto frame = build_can_frame(0x800, one);
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame->can_id, 0x800u | CAN_EFF_FLAG);
  EXPECT_EQ(frame->can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG), 0u);

  auto highest = build_can_frame(0x1FFFFFFF, {});
  ASSERT_TRUE(highest.ok());
  EXPECT_EQ(highest->can_id, 0x1FFFFFFFu | CAN_EFF_FLAG);
}

TEST(CanFrame, RecordLayoutIsIdLengthZeroPaddingThenZeroFilledData) {
  const uint8_t payload[] = {0xDE, 0xAD, 0xBE};
  auto frame = build_can_frame(0x123, payload);
  ASSERT_TRUE(frame.ok());
  const std::array<uint8_t, 16> expected = {0x23, 0x01, 0x00, 0x00, 3, 0, 0, 0, 0xDE,
                                            0xAD, 0xBE, 0,    0,    0, 0, 0};  // little-endian host
  EXPECT_EQ(bytes_of(*frame), expected);
}

TEST(CanFrame, IdBeyond29BitsIsRefused) {
  for (uint32_t id : {0x20000000u, 0xFFFFFFFFu}) {
    auto frame = build_can_frame(id, {});
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().kind, ErrorKind::Os);
    EXPECT_EQ(frame.error().message, "CAN ID too large");
  }
}

TEST(CanFrame, OversizedPayloadIsRefusedBeforeTheId) {
  const std::vector<uint8_t> nine(9, 0x55);
  for (uint32_t id : {0x10u, 0x20000000u}) {
    auto frame = build_can_frame(id, nine);
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().kind, ErrorKind::Os);
    EXPECT_EQ(frame.error().message, "Payload is larger than CAN maximum of 8 bytes");
  }
  const std::vector<uint8_t> eight(8, 0x55);
  EXPECT_TRUE(build_can_frame(0x10, eight).ok());
}

TEST(CanFrame, BuiltFramesParseBackToTheSameMessage) {
  // Extended exactly above 0x7FF, the format the message notes on reception.
  const std::vector<CanMessage> messages = {
      {0x0, {}},       {0x7FF, {1, 2, 3, 4, 5, 6, 7, 8}}, {0x800, {0xFF}, true},
      {0x123, {9, 8}}, {0x1FFFFFFF, {0, 0, 0, 0}, true},
  };
  for (const CanMessage& message : messages) {
    auto frame = build_can_frame(message.id, message.data);
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(parse_can_frame(*frame), message) << std::hex << message.id;
  }
}

TEST(CanFrame, FlagBitsLeaveTheIdAndAreNotedBeside) {
  // {id, data, extended, remote, error}
  EXPECT_EQ(parse_can_frame(record(0x123 | CAN_EFF_FLAG, 2, {7, 8})),
            (CanMessage{0x123, {7, 8}, true}));
  EXPECT_EQ(parse_can_frame(record(0x10 | CAN_RTR_FLAG, 0, {})),
            (CanMessage{0x10, {}, false, true}));
  // A standard frame keeps only 11 bits; an extended one keeps 29.
  EXPECT_EQ(parse_can_frame(record(0x1ABCD123, 1, {5})), (CanMessage{0x123, {5}}));
  EXPECT_EQ(parse_can_frame(record(0x1ABCD123 | CAN_EFF_FLAG | CAN_RTR_FLAG, 0, {})),
            (CanMessage{0x1ABCD123, {}, true, true}));
  EXPECT_EQ(parse_can_frame(record(CAN_ERR_FLAG | 0x4, 8, {})),
            (CanMessage{0x4, {0, 0, 0, 0, 0, 0, 0, 0}, false, false, true}));
  // An error frame's id is its 29-bit error class, not an 11-bit identifier.
  EXPECT_EQ(parse_can_frame(record(CAN_ERR_FLAG | 0x1000 | CAN_ERR_BUSOFF, 0, {})).id,
            0x1000u | CAN_ERR_BUSOFF);
}

TEST(CanFrame, DataIsOnlyTheFirstLengthBytes) {
  EXPECT_EQ(parse_can_frame(record(0x1, 3, {1, 2, 3, 4, 5})), (CanMessage{0x1, {1, 2, 3}}));
}

TEST(CanFrame, LengthFieldAboveEightReadsEightBytes) {
  for (uint8_t len : {9, 15, 255}) {
    EXPECT_EQ(parse_can_frame(record(0x1, len, {1, 2, 3, 4, 5, 6, 7, 8})),
              (CanMessage{0x1, {1, 2, 3, 4, 5, 6, 7, 8}}));
  }
}
