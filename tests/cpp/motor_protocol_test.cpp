#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "motor/protocol.hpp"

namespace {

using namespace varnex::motor;

// "44 52 31 73 01 02 03 54" -> the eight bytes, so expectations read like the wire.
FrameData hex(const char* text) {
  FrameData out{};
  unsigned b[8];
  const int n = std::sscanf(text, "%x %x %x %x %x %x %x %x", &b[0], &b[1], &b[2], &b[3], &b[4],
                            &b[5], &b[6], &b[7]);
  EXPECT_EQ(n, 8) << "bad hex literal: " << text;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(b[i]);
  return out;
}

std::string show(const FrameData& f) {
  std::string s;
  char buf[4];
  for (uint8_t b : f) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    s += buf;
  }
  return s;
}

#define EXPECT_FRAME(actual, text) EXPECT_EQ(show(actual), show(hex(text)))

// ---- DR v1 configuration frames ----

TEST(DrConfigFrames, UnicastCommandsToNode0x201) {
  const uint16_t dest = destination_of(0x201);
  const SessionOpening open = open_session_frames(dest);
  EXPECT_FRAME(open.first, "44 52 31 73 01 02 03 54");
  EXPECT_FRAME(open.second, "44 52 31 74 01 02 03 53");
  EXPECT_FRAME(end_session_frame(dest), "44 52 31 FF 01 02 00 DB");
  EXPECT_FRAME(encoder_zero_frame(dest), "44 52 31 FF 01 02 01 DA");
  EXPECT_FRAME(set_foc_mode_frame(dest, FocMode::Speed), "44 52 31 FF 01 02 11 CA");
}

TEST(DrConfigFrames, NodeIdBitsAbove16NeverReachTheWire) {
  EXPECT_EQ(destination_of(0x10201), 0x0201);
  EXPECT_EQ(destination_of(0xFFFF0201u), 0x0201);
  EXPECT_FRAME(end_session_frame(destination_of(0x10201)), "44 52 31 FF 01 02 00 DB");
  EXPECT_FRAME(set_foc_mode_frame(destination_of(0x10201), FocMode::Speed),
               "44 52 31 FF 01 02 11 CA");
}

TEST(DrConfigFrames, BroadcastFormsAreTheFixedByteStrings) {
  const SessionOpening open = open_session_frames(kBroadcastDestination);
  EXPECT_FRAME(open.first, "44 52 31 73 FF FF 03 57");
  EXPECT_FRAME(open.second, "44 52 31 74 FF FF 03 50");
  EXPECT_FRAME(end_session_frame(kBroadcastDestination), "44 52 31 FF FF FF 00 D8");
  EXPECT_FRAME(encoder_zero_frame(kBroadcastDestination), "44 52 31 FF FF FF 01 D9");
  EXPECT_FRAME(set_foc_mode_frame(kBroadcastDestination, FocMode::Current),
               "44 52 31 FF FF FF 10 C8");
  EXPECT_FRAME(set_foc_mode_frame(kBroadcastDestination, FocMode::Speed),
               "44 52 31 FF FF FF 11 C9");
  EXPECT_FRAME(set_foc_mode_frame(kBroadcastDestination, FocMode::Position),
               "44 52 31 FF FF FF 12 CA");
}

TEST(DrConfigFrames, DestinationIsLittleEndianAndCheckCoversBytesZeroToSix) {
  const FrameData f = build_config_frame(0xFF, 0x1234, 0x12);
  EXPECT_FRAME(f, "44 52 31 FF 34 12 12 EC");
  // Every frame XORs to zero over all eight bytes, whatever the inputs.
  for (unsigned dest : {0x0000u, 0x00FFu, 0xFF00u, 0xA55Au}) {
    for (unsigned ctl : {0x00u, 0x03u, 0x7Fu, 0xFFu}) {
      const FrameData g =
          build_config_frame(0x74, static_cast<uint16_t>(dest), static_cast<uint8_t>(ctl));
      uint8_t x = 0;
      for (uint8_t b : g) x ^= b;
      EXPECT_EQ(x, 0) << show(g);
      EXPECT_EQ(g[4] | (g[5] << 8), static_cast<int>(dest));
      EXPECT_EQ(g[6], ctl);
    }
  }
}

// ---- target encoding ----

TEST(EncodeTarget, ScalesBySpeedTenOtherwiseHundred) {
  EXPECT_EQ(encode_target(10.0f, FocMode::Speed), 100);
  EXPECT_EQ(encode_target(-5.0f, FocMode::Speed), -50);
  EXPECT_EQ(encode_target(1.5f, FocMode::Current), 150);
  EXPECT_EQ(encode_target(1.5f, FocMode::Position), 150);
}

TEST(EncodeTarget, TruncatesTowardZeroRatherThanRounding) {
  EXPECT_EQ(encode_target(-0.019f, FocMode::Current), -1);
  EXPECT_EQ(encode_target(0.019f, FocMode::Current), 1);
  EXPECT_EQ(encode_target(0.99f, FocMode::Speed), 9);
  EXPECT_EQ(encode_target(-0.0099f, FocMode::Position), 0);
}

TEST(EncodeTarget, SaturatesAtTheInt16Range) {
  EXPECT_EQ(encode_target(400.0f, FocMode::Position), 32767);
  EXPECT_EQ(encode_target(-400.0f, FocMode::Position), -32768);
  EXPECT_EQ(encode_target(3276.8f, FocMode::Speed), 32767);
  EXPECT_EQ(encode_target(-3276.8f, FocMode::Speed), -32768);
  // Just inside the range: truncation, not saturation.
  EXPECT_EQ(encode_target(327.665f, FocMode::Current), 32766);
  EXPECT_EQ(encode_target(-327.675f, FocMode::Current), -32767);
}

TEST(EncodeTarget, IsTotalOverNonFiniteAndHugeFloats) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  for (FocMode mode : {FocMode::Current, FocMode::Speed, FocMode::Position}) {
    SCOPED_TRACE(std::string(foc_mode_name(mode)));
    EXPECT_EQ(encode_target(std::nanf(""), mode), 0);
    EXPECT_EQ(encode_target(-std::nanf(""), mode), 0);
    EXPECT_EQ(encode_target(inf, mode), 32767);
    EXPECT_EQ(encode_target(-inf, mode), -32768);
    EXPECT_EQ(encode_target(FLT_MAX, mode), 32767);
    EXPECT_EQ(encode_target(-FLT_MAX, mode), -32768);
    EXPECT_EQ(encode_target(1e10f, mode), 32767);
    EXPECT_EQ(encode_target(FLT_TRUE_MIN, mode), 0);
    EXPECT_EQ(encode_target(-0.0f, mode), 0);
  }
}

// ---- broadcast target frame ----

TEST(BroadcastFrame, SpeedTargetsInSlotsZeroAndOne) {
  const std::vector<SlotTarget> targets{{0, encode_target(10.0f, FocMode::Speed)},
                                        {1, encode_target(-5.0f, FocMode::Speed)}};
  EXPECT_FRAME(build_broadcast_frame(targets), "64 00 CE FF 00 00 00 00");
}

TEST(BroadcastFrame, EmptyListGivesEightZeroBytes) {
  EXPECT_FRAME(build_broadcast_frame({}), "00 00 00 00 00 00 00 00");
}

TEST(BroadcastFrame, EachSlotLandsAtTwiceItsIndex) {
  const std::vector<SlotTarget> targets{{3, 32767}, {2, -32768}, {1, 0x0102}, {0, -1}};
  EXPECT_FRAME(build_broadcast_frame(targets), "FF FF 02 01 00 80 FF 7F");
}

TEST(BroadcastFrame, LaterRegistrationWinsASharedSlot) {
  const std::vector<SlotTarget> targets{{1, 5}, {0, 7}, {1, -2}};
  EXPECT_FRAME(build_broadcast_frame(targets), "07 00 FE FF 00 00 00 00");
}

TEST(BroadcastFrame, SlotsAboveThreeStayInsideTheFrame) {
  const std::vector<SlotTarget> targets{{3, 9}, {7, 1}, {255, 2}};
  EXPECT_FRAME(build_broadcast_frame(targets), "00 00 00 00 00 00 02 00");
}

// ---- feedback frame ----

TEST(DecodeFeedback, WorkedExample) {
  const FrameData data = hex("00 00 C0 3F 7B 00 06 FF");
  const Feedback fb = decode_feedback(data);
  EXPECT_EQ(fb.position, 1.5f);
  EXPECT_EQ(fb.speed, 12.3f);  // 123 / 10 in single precision, exactly the float nearest 12.3
  EXPECT_EQ(fb.current, -2.5f);
}

TEST(DecodeFeedback, ExtremesAndZero) {
  EXPECT_EQ(decode_feedback(hex("00 00 00 00 00 00 00 00")), Feedback{});
  const Feedback fb = decode_feedback(hex("00 00 80 BF 00 80 FF 7F"));
  EXPECT_EQ(fb.position, -1.0f);
  EXPECT_EQ(fb.speed, -32768.0f / 10.0f);
  EXPECT_EQ(fb.current, 32767.0f / 100.0f);
}

TEST(DecodeFeedback, PositionIsTakenAsIsIncludingNonFinite) {
  EXPECT_TRUE(std::isnan(decode_feedback(hex("00 00 C0 7F 00 00 00 00")).position));
  EXPECT_EQ(decode_feedback(hex("00 00 80 FF 00 00 00 00")).position,
            -std::numeric_limits<float>::infinity());
  EXPECT_EQ(decode_feedback(hex("DB 0F 49 40 00 00 00 00")).position, 3.14159274f);
}

// ---- mode text ----

TEST(FocModeText, ParsesTheThreeLoweredNames) {
  for (FocMode mode : {FocMode::Current, FocMode::Speed, FocMode::Position}) {
    const auto parsed = parse_foc_mode_lowered(foc_mode_name(mode));
    ASSERT_TRUE(parsed.ok()) << foc_mode_name(mode);
    EXPECT_EQ(parsed.value(), mode);
  }
  EXPECT_EQ(foc_mode_name(FocMode::Current), "current");
  EXPECT_EQ(foc_mode_name(FocMode::Speed), "speed");
  EXPECT_EQ(foc_mode_name(FocMode::Position), "position");
}

TEST(FocModeText, RejectsAnythingElseWithTheValueErrorText) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {" speed", "unknown mode ' speed', expected 'current', 'speed', or 'position'"},
      {"foo", "unknown mode 'foo', expected 'current', 'speed', or 'position'"},
      {"speed ", "unknown mode 'speed ', expected 'current', 'speed', or 'position'"},
      {"Speed", "unknown mode 'Speed', expected 'current', 'speed', or 'position'"},
      {"spee", "unknown mode 'spee', expected 'current', 'speed', or 'position'"},
      {"", "unknown mode '', expected 'current', 'speed', or 'position'"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_foc_mode_lowered(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_EQ(parsed.error().kind, varnex::ErrorKind::Value);
    EXPECT_EQ(parsed.error().message, c.message);
  }
}

TEST(FocModeText, EmbeddedNulIsNotAMatchAndIsKeptInTheMessage) {
  using namespace std::string_view_literals;
  const auto parsed = parse_foc_mode_lowered("speed\0"sv);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().message,
            "unknown mode 'speed\0', expected 'current', 'speed', or 'position'"sv);
}

}  // namespace
