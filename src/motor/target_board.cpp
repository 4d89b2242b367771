#include "motor/target_board.hpp"

#include <algorithm>
#include <cmath>

#include "motor/device.hpp"

namespace varnex::motor {

namespace {

// The range a Position slot carries: -32768 and 32767 hundredths of a radian.
constexpr float kLowestPosition = -327.68f;
constexpr float kHighestPosition = 327.67f;

// The frame's bytes in one word, byte i in bits 8i..8i+7, and back.
std::uint64_t pack(const FrameData& frame) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < frame.size(); ++i) bits |= std::uint64_t{frame[i]} << (8 * i);
  return bits;
}

}  // namespace

std::int64_t TargetBoard::now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(rt::Clock::now().time_since_epoch())
      .count();
}

rt::Instant TargetBoard::last_feed() const noexcept {
  return rt::Instant(std::chrono::duration_cast<rt::Clock::duration>(
      std::chrono::nanoseconds(last_feed_ns_.load(std::memory_order_acquire))));
}

std::optional<rt::Instant> TargetBoard::last_sent() const noexcept {
  const std::int64_t ns = last_sent_ns_.load(std::memory_order_relaxed);
  if (ns == 0) return std::nullopt;
  return rt::Instant(std::chrono::duration_cast<rt::Clock::duration>(std::chrono::nanoseconds(ns)));
}

FrameData TargetBoard::frame() const noexcept {
  const std::uint64_t bits = frame_.load(std::memory_order_acquire);
  FrameData out;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
  return out;
}

void TargetBoard::publish_locked(const Device& device) {
  const std::size_t slot = device.slot_index();
  if (owners_[slot] != &device) return;
  slots_[slot].value = encode_target(device.target_, device.mode());
  frame_.store(pack(build_broadcast_frame(slots_)), std::memory_order_release);
}

void TargetBoard::feed_locked() noexcept {
  last_feed_ns_.store(now_ns(), std::memory_order_release);
  tripped_.store(false, std::memory_order_release);
}

void TargetBoard::feed() {
  std::lock_guard lock(mutex_);
  feed_locked();
}

void TargetBoard::set_target(Device& device, float value) {
  std::lock_guard lock(mutex_);
  device.target_ = value;
  publish_locked(device);
  feed_locked();
}

float TargetBoard::target(const Device& device) const {
  std::lock_guard lock(mutex_);
  return device.target_;
}

void TargetBoard::claim_slot(const Device& device) {
  std::lock_guard lock(mutex_);
  owners_[device.slot_index()] = &device;
  publish_locked(device);
}

float TargetBoard::safe_target(FocMode mode, float target, bool reported, float reported_position) {
  if (mode != FocMode::Position) return 0.0f;
  const float hold = reported && std::isfinite(reported_position) ? reported_position : target;
  if (std::isnan(hold)) return 0.0f;  // nothing better to hold; NaN would encode as 0 anyway
  return std::clamp(hold, kLowestPosition, kHighestPosition);
}

void TargetBoard::make_safe_locked(const std::vector<std::shared_ptr<Device>>& devices) {
  for (const std::shared_ptr<Device>& device : devices) {
    device->target_ = safe_target(device->mode(), device->target_, device->feedback_count() > 0,
                                  device->reported_position());
    publish_locked(*device);
  }
}

bool TargetBoard::trip_if_quiet(rt::Instant now, std::chrono::nanoseconds limit,
                                const std::vector<std::shared_ptr<Device>>& devices) {
  std::lock_guard lock(mutex_);
  if (tripped_.load(std::memory_order_relaxed) || now - last_feed() < limit) return false;
  make_safe_locked(devices);
  tripped_.store(true, std::memory_order_release);
  return true;
}

FrameData TargetBoard::make_safe(const std::vector<std::shared_ptr<Device>>& devices) {
  std::lock_guard lock(mutex_);
  make_safe_locked(devices);
  return frame();
}

}  // namespace varnex::motor
