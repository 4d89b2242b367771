// Timer precision modes and the period a frequency gives.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/result.hpp"

namespace varnex {

enum class TimerPrecision : std::uint8_t {
  Normal = 0,    // the normal timers' scheduler on the shared runtime; about 1-10 ms accuracy
  High = 1,      // an own thread, 0.8 ms spin window
  Realtime = 2,  // an own thread, 3 ms spin window (keeps a CPU busy at high rates)
  // High and Realtime with precision_timer(spin="adaptive"): the thread spins only as long as
  // its sleeps have been late, the mode's window at most. They show as "high" and "realtime".
  HighAdaptive = 3,
  RealtimeAdaptive = 4,
};

// "Normal", "High", "Realtime": used in thread names.
const char* display_name(TimerPrecision precision);
// "normal", "high", "realtime": used by reprs and precision_mode().
const char* lower_name(TimerPrecision precision);

// How long before each deadline a timer thread stops sleeping and starts spinning.
inline constexpr std::chrono::nanoseconds kHighSpinWindow{800'000};
inline constexpr std::chrono::nanoseconds kRealtimeSpinWindow{3'000'000};
// The fixed window, or the bound of the adaptive one; zero for Normal.
std::chrono::nanoseconds spin_window(TimerPrecision precision);
bool adaptive_spin(TimerPrecision precision);
// The mode with the adaptive spin (High -> HighAdaptive, Realtime -> RealtimeAdaptive).
TimerPrecision with_adaptive_spin(TimerPrecision precision);

// The longest period a timer accepts (2^62 ns, about 146 years): deadlines computed from it
// stay far from the clock's range.
inline constexpr std::chrono::nanoseconds kMaxTimerPeriod{std::int64_t{1} << 62};

// The highest frequency a High timer (and a broadcast without realtime) accepts.
inline constexpr double kHighPrecisionLimitHz = 10000.0;

// The rules a frequency must pass when a timer is described (a decorator is made): positive
// ("frequency_hz must be positive"), and for High at most kHighPrecisionLimitHz ("frequency >
// 10kHz requires realtime=True"); Normal and Realtime have no upper limit. Ordered comparisons,
// so NaN and +infinity pass here and fail when a timer starts (period_from_frequency).
Status check_timer_frequency(double frequency_hz, TimerPrecision precision);

// 1 / frequency_hz seconds, rounded to the nearest nanosecond (3 Hz gives 333333333 ns).
// A ValueError when no usable period exists: NaN, a period that rounds to 0 ns (infinity,
// more than about 2e9 Hz) or one longer than kMaxTimerPeriod.
Result<std::chrono::nanoseconds> period_from_frequency(double frequency_hz);

}  // namespace varnex
