#include "tasks/timer_period.hpp"

#include <cmath>

namespace varnex {

namespace {
constexpr const char* kTooHigh = "frequency_hz is too high: its period rounds to 0 ns";
constexpr const char* kTooLow = "frequency_hz is too low: its period is longer than 146 years";
}  // namespace

const char* display_name(TimerPrecision precision) {
  switch (precision) {
    case TimerPrecision::Normal:
      return "Normal";
    case TimerPrecision::High:
    case TimerPrecision::HighAdaptive:
      return "High";
    case TimerPrecision::Realtime:
    case TimerPrecision::RealtimeAdaptive:
      return "Realtime";
  }
  return "Normal";
}

const char* lower_name(TimerPrecision precision) {
  switch (precision) {
    case TimerPrecision::Normal:
      return "normal";
    case TimerPrecision::High:
    case TimerPrecision::HighAdaptive:
      return "high";
    case TimerPrecision::Realtime:
    case TimerPrecision::RealtimeAdaptive:
      return "realtime";
  }
  return "normal";
}

std::chrono::nanoseconds spin_window(TimerPrecision precision) {
  switch (precision) {
    case TimerPrecision::High:
    case TimerPrecision::HighAdaptive:
      return kHighSpinWindow;
    case TimerPrecision::Realtime:
    case TimerPrecision::RealtimeAdaptive:
      return kRealtimeSpinWindow;
    case TimerPrecision::Normal:
      break;
  }
  return std::chrono::nanoseconds{0};
}

bool adaptive_spin(TimerPrecision precision) {
  return precision == TimerPrecision::HighAdaptive || precision == TimerPrecision::RealtimeAdaptive;
}

TimerPrecision with_adaptive_spin(TimerPrecision precision) {
  switch (precision) {
    case TimerPrecision::High:
      return TimerPrecision::HighAdaptive;
    case TimerPrecision::Realtime:
      return TimerPrecision::RealtimeAdaptive;
    default:
      return precision;
  }
}

Status check_timer_frequency(double frequency_hz, TimerPrecision precision) {
  if (frequency_hz <= 0.0) return Error::value("frequency_hz must be positive");
  if ((precision == TimerPrecision::High || precision == TimerPrecision::HighAdaptive) &&
      frequency_hz > kHighPrecisionLimitHz) {
    return Error::value("frequency > 10kHz requires realtime=True");
  }
  return {};
}

Result<std::chrono::nanoseconds> period_from_frequency(double frequency_hz) {
  if (std::isnan(frequency_hz)) {
    return Error::value("frequency_hz is NaN: a timer needs a number of ticks per second");
  }
  if (!(frequency_hz > 0.0)) return Error::value("frequency_hz must be positive");
  const double seconds = 1.0 / frequency_hz;
  if (std::isinf(seconds)) return Error::value(kTooLow);
  if (seconds == 0.0) return Error::value(kTooHigh);
  // Exact rounding: seconds = mantissa * 2^exponent, so the period in ns is
  // mantissa * 1e9 * 2^exponent, computed in 128-bit integers and rounded half up.
  int exponent = 0;
  const double fraction = std::frexp(seconds, &exponent);  // seconds = fraction * 2^exponent
  const auto mantissa = static_cast<unsigned __int128>(std::ldexp(fraction, 53));
  exponent -= 53;
  if (exponent >= 0) return Error::value(kTooLow);  // 2^52 s and more
  const int shift = -exponent;
  if (shift > 100) return Error::value(kTooHigh);              // below 2^-47 s: far under 1 ns
  const unsigned __int128 scaled = mantissa * 1'000'000'000u;  // < 2^83
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  const unsigned __int128 ns = (scaled + half) >> shift;
  if (ns == 0) return Error::value(kTooHigh);
  if (ns > static_cast<unsigned __int128>(kMaxTimerPeriod.count())) return Error::value(kTooLow);
  return std::chrono::nanoseconds{static_cast<std::int64_t>(ns)};
}

}  // namespace varnex
