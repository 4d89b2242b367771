// The motor drivers' wire protocol: pure encoders and decoders, no I/O, no locks.
//
// Three kinds of traffic, all with 8 data bytes:
//   - the broadcast target frame, host -> drivers on the host id: four signed 16-bit slots;
//   - the feedback frame, driver -> host on the driver's node id: position, speed, current;
//   - the DR v1 configuration frames, host -> drivers on the host id, addressed inside the payload
//     to one driver (low 16 bits of its node id) or to all (0xFFFF).
// Nothing here sends, receives or waits; the drivers never acknowledge any frame.
//
// Byte strings below are hexadecimal, data byte 0 first.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.hpp"

namespace varnex::motor {

inline constexpr std::size_t kFrameLength = 8;
using FrameData = std::array<uint8_t, kFrameLength>;

// ---------------------------------------------------------------------------------------------
// Control modes
// ---------------------------------------------------------------------------------------------

// A driver's field-oriented control mode; the enumerator value is the wire code.
//
//   mode      code  text        target unit  scale  one wire count
//   Current   0     "current"   A            100    0.01 A
//   Speed     1     "speed"     rad/s        10     0.1 rad/s
//   Position  2     "position"  rad          100    0.01 rad
enum class FocMode : uint8_t { Current = 0, Speed = 1, Position = 2 };

// The text form: "current", "speed" or "position"; "unknown" for a value outside the enumeration.
std::string_view foc_mode_name(FocMode mode);

// Text -> mode, by exact comparison (no trimming) with the three text forms.
//
// `lowered` must already be lower-cased: the Python binding applies str.lower() (full Unicode
// lower-casing) first, so "Speed" and "SPEED" arrive here as "speed". The error carries the
// lowered text, which is what the caller sees.
//
//   lowered      result
//   "current"    FocMode::Current
//   "speed"      FocMode::Speed
//   "position"   FocMode::Position
//   " speed"     Error{Value, "unknown mode ' speed', expected 'current', 'speed', or 'position'"}
//   "foo"        Error{Value, "unknown mode 'foo', expected 'current', 'speed', or 'position'"}
//   ""           Error{Value, "unknown mode '', expected 'current', 'speed', or 'position'"}
Result<FocMode> parse_foc_mode_lowered(std::string_view lowered);

// ---------------------------------------------------------------------------------------------
// Broadcast target frame (CAN id = host id)
// ---------------------------------------------------------------------------------------------

// Physical target -> signed 16-bit wire value. Total: defined for every float.
//
// p = target * scale in single precision (scale 10 for Speed, 100 otherwise), clamped to
// [-32768, 32767], then truncated toward zero. NaN gives 0, +inf 32767, -inf -32768.
//
//   mode      target      wire value
//   Speed     10.0        100      (64 00)
//   Speed     -5.0        -50      (CE FF)
//   Speed     3276.8      32767    (product 32768 saturates)
//   Current   1.5         150
//   Current   -0.019      -1       (-1.9 truncates toward zero, no rounding)
//   Position  400.0       32767
//   Position  -400.0      -32768
//   any       NaN         0
//   any       +inf        32767
//   any       -FLT_MAX    -32768
int16_t encode_target(float target, FocMode mode);

// Whether encode_target carries a target as it is: Fits when p lies inside [-32768, 32767]
// (truncation toward zero is no change worth a word), Clamped when it saturates (infinities
// included), NotANumber when it becomes 0.
//
//   mode      target      fit
//   Position  327.67      Fits
//   Position  1000.0      Clamped   (sent as 327.67 rad)
//   Speed     -3276.9     Clamped   (sent as -3276.8 rad/s)
//   any       NaN         NotANumber
enum class TargetFit : uint8_t { Fits, Clamped, NotANumber };
TargetFit target_fit(float target, FocMode mode);
// The scale of a target in `mode`: wire counts per physical unit (10 for Speed, 100 otherwise).
float target_scale(FocMode mode);
// The unit of a target in `mode`: "A", "rad/s" or "rad".
std::string_view target_unit(FocMode mode);

// One device's contribution to the broadcast frame.
struct SlotTarget {
  uint8_t slot;   // 0..3; larger values are treated as 3, as the group stores them
  int16_t value;  // the encoded target
};

// (slot, wire value) list in registration order -> the 8 data bytes of the target frame.
// Each value is written little-endian at bytes 2*slot and 2*slot+1; a later entry on the same
// slot overwrites an earlier one; an unoccupied slot is 0.
//
//   targets (slot: value)        bytes
//   (none)                       00 00 00 00 00 00 00 00
//   0: 100, 1: -50               64 00 CE FF 00 00 00 00
//   3: 32767                     00 00 00 00 00 00 FF 7F
//   1: 5, 1: -2                  00 00 FE FF 00 00 00 00
//   7: 1                         00 00 00 00 00 00 01 00   (slot 7 is taken as 3)
FrameData build_broadcast_frame(std::span<const SlotTarget> targets);

// ---------------------------------------------------------------------------------------------
// Feedback frame (CAN id = the driver's node id, exactly 8 data bytes)
// ---------------------------------------------------------------------------------------------

// A driver's latest reported state; all 0.0 until its first feedback frame.
struct Feedback {
  float position = 0;  // rad
  float speed = 0;     // rad/s
  float current = 0;   // A

  bool operator==(const Feedback&) const = default;
};

// The 8 data bytes of a feedback frame -> Feedback, all arithmetic in single precision:
//   bytes 0-3  position  IEEE-754 float32 LE, as is
//   bytes 4-5  speed     i16 LE / 10.0f
//   bytes 6-7  current   i16 LE / 100.0f
// Frames of another length are not feedback frames; the receiver drops them before decoding.
//
//   bytes                      position   speed    current
//   00 00 C0 3F 7B 00 06 FF    1.5        12.3f    -2.5
//   00 00 00 00 00 00 00 00    0.0        0.0      0.0
//   00 00 80 BF 00 80 FF 7F    -1.0       -3276.8f 327.67f
Feedback decode_feedback(std::span<const uint8_t, kFrameLength> data);

// ---------------------------------------------------------------------------------------------
// DR v1 configuration frames (CAN id = host id)
// ---------------------------------------------------------------------------------------------
//
//   byte 0-2  magic 44 52 31 ("DR1")
//   byte 3    frame type: 73 / 74 (session opening pair) or FF (command)
//   byte 4-5  destination, little-endian: low 16 bits of the node id, FFFF for every driver
//   byte 6    CTL; for type FF: command group in the high nibble, code in the low nibble
//   byte 7    check: XOR of bytes 0..6

inline constexpr std::array<uint8_t, 3> kDrMagic{0x44, 0x52, 0x31};
inline constexpr uint16_t kBroadcastDestination = 0xFFFF;

inline constexpr uint8_t kFrameTypeOpenFirst = 0x73;
inline constexpr uint8_t kFrameTypeOpenSecond = 0x74;
inline constexpr uint8_t kFrameTypeCommand = 0xFF;

inline constexpr uint8_t kCtlOpenSession = 0x03;
inline constexpr uint8_t kCtlEndSession = 0x00;   // group 0, code 0
inline constexpr uint8_t kCtlEncoderZero = 0x01;  // group 0, code 1
inline constexpr uint8_t kCtlSetFocMode = 0x10;   // group 1, code = FocMode wire code

// The destination of a driver's configuration frames: bits 0-15 of its node id; bits 16-31
// never reach the wire.
//
//   node id    destination
//   0x201      0x0201
//   0x10201    0x0201
//   0xFFFF     0xFFFF (the same as kBroadcastDestination)
constexpr uint16_t destination_of(uint32_t node_id) {
  return static_cast<uint16_t>(node_id & 0xFFFF);
}

// (frame type, destination, CTL) -> 8 bytes with the check byte filled in.
//
//   type  destination  ctl   bytes
//   73    0x0201       03    44 52 31 73 01 02 03 54
//   FF    0xFFFF       00    44 52 31 FF FF FF 00 D8
//   FF    0x1234       12    44 52 31 FF 34 12 12 EC
FrameData build_config_frame(uint8_t frame_type, uint16_t destination, uint8_t ctl);

// Opening a session takes two frames, sent in this order with no pause between them; the second
// goes out only if the first was queued.
struct SessionOpening {
  FrameData first;   // type 73, CTL 03
  FrameData second;  // type 74, CTL 03
};

//   destination  first                      second
//   0x0201       44 52 31 73 01 02 03 54    44 52 31 74 01 02 03 53
//   0xFFFF       44 52 31 73 FF FF 03 57    44 52 31 74 FF FF 03 50
SessionOpening open_session_frames(uint16_t destination);

// Ends the session without changing the firmware's running state; writes no flash.
//
//   destination  bytes
//   0x0201       44 52 31 FF 01 02 00 DB
//   0xFFFF       44 52 31 FF FF FF 00 D8
FrameData end_session_frame(uint16_t destination);

// Requests the encoder electrical zero (meaningful inside a session; the sender then waits 200 ms).
//
//   destination  bytes
//   0x0201       44 52 31 FF 01 02 01 DA
//   0xFFFF       44 52 31 FF FF FF 01 D9
FrameData encoder_zero_frame(uint16_t destination);

// Selects the driver's control mode (meaningful inside a session). CTL = 0x10 + wire code.
//
//   destination  mode      bytes
//   0x0201       Speed     44 52 31 FF 01 02 11 CA
//   0xFFFF       Current   44 52 31 FF FF FF 10 C8
//   0xFFFF       Speed     44 52 31 FF FF FF 11 C9
//   0xFFFF       Position  44 52 31 FF FF FF 12 CA
FrameData set_foc_mode_frame(uint16_t destination, FocMode mode);

}  // namespace varnex::motor
