#include "motor/protocol.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

namespace varnex::motor {

namespace {

constexpr uint8_t kLastSlot = 3;

// Byte-wise packing keeps the wire order independent of the host's byte order.
void put_u16_le(uint8_t* out, uint16_t v) {
  out[0] = static_cast<uint8_t>(v & 0xFF);
  out[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t get_u16_le(const uint8_t* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }

uint32_t get_u32_le(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace

std::string_view foc_mode_name(FocMode mode) {
  switch (mode) {
    case FocMode::Current:
      return "current";
    case FocMode::Speed:
      return "speed";
    case FocMode::Position:
      return "position";
  }
  return "unknown";
}

Result<FocMode> parse_foc_mode_lowered(std::string_view lowered) {
  for (FocMode mode : {FocMode::Current, FocMode::Speed, FocMode::Position}) {
    if (lowered == foc_mode_name(mode)) return mode;
  }
  std::string message = "unknown mode '";
  message.append(lowered);
  message.append("', expected 'current', 'speed', or 'position'");
  return Error::value(std::move(message));
}

int16_t encode_target(float target, FocMode mode) {
  const float p = target * target_scale(mode);
  if (std::isnan(p)) return 0;
  // Saturate before converting: a float outside the int16 range would make the cast undefined.
  if (p >= 32767.0f) return 32767;
  if (p <= -32768.0f) return -32768;
  return static_cast<int16_t>(p);  // truncates toward zero
}

float target_scale(FocMode mode) { return mode == FocMode::Speed ? 10.0f : 100.0f; }

std::string_view target_unit(FocMode mode) {
  switch (mode) {
    case FocMode::Current:
      return "A";
    case FocMode::Speed:
      return "rad/s";
    case FocMode::Position:
      return "rad";
  }
  return "";
}

TargetFit target_fit(float target, FocMode mode) {
  const float p = target * target_scale(mode);
  if (std::isnan(p)) return TargetFit::NotANumber;
  // Products short of the next whole count truncate into range: only beyond it is a value lost.
  if (p >= 32768.0f || p <= -32769.0f) return TargetFit::Clamped;
  return TargetFit::Fits;
}

FrameData build_broadcast_frame(std::span<const SlotTarget> targets) {
  FrameData frame{};
  for (const SlotTarget& t : targets) {
    const uint8_t slot = std::min(t.slot, kLastSlot);
    put_u16_le(&frame[2 * slot], static_cast<uint16_t>(t.value));
  }
  return frame;
}

Feedback decode_feedback(std::span<const uint8_t, kFrameLength> data) {
  Feedback fb;
  fb.position = std::bit_cast<float>(get_u32_le(&data[0]));
  fb.speed = static_cast<float>(static_cast<int16_t>(get_u16_le(&data[4]))) / 10.0f;
  fb.current = static_cast<float>(static_cast<int16_t>(get_u16_le(&data[6]))) / 100.0f;
  return fb;
}

FrameData build_config_frame(uint8_t frame_type, uint16_t destination, uint8_t ctl) {
  FrameData frame{kDrMagic[0], kDrMagic[1], kDrMagic[2], frame_type, 0, 0, ctl, 0};
  put_u16_le(&frame[4], destination);
  uint8_t check = 0;
  for (std::size_t i = 0; i < 7; ++i) check ^= frame[i];
  frame[7] = check;
  return frame;
}

SessionOpening open_session_frames(uint16_t destination) {
  return {build_config_frame(kFrameTypeOpenFirst, destination, kCtlOpenSession),
          build_config_frame(kFrameTypeOpenSecond, destination, kCtlOpenSession)};
}

FrameData end_session_frame(uint16_t destination) {
  return build_config_frame(kFrameTypeCommand, destination, kCtlEndSession);
}

FrameData encoder_zero_frame(uint16_t destination) {
  return build_config_frame(kFrameTypeCommand, destination, kCtlEncoderZero);
}

FrameData set_foc_mode_frame(uint16_t destination, FocMode mode) {
  // The code lives in the low nibble; masking keeps a stray enum value out of the group nibble.
  const uint8_t code = static_cast<uint8_t>(mode) & 0x0F;
  return build_config_frame(kFrameTypeCommand, destination,
                            static_cast<uint8_t>(kCtlSetFocMode | code));
}

}  // namespace varnex::motor
