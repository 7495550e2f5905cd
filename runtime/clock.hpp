#pragma once

#include <cstdint>

#include "runtime/timestamp.hpp"

namespace vostral::runtime {

// A wall-clock reading as the platform gives it: seconds relative to
// 1970-01-01 00:00:00 UTC (negative before it) plus 0 <= nanoseconds < 10^9.
struct WallTime {
  std::int64_t seconds;
  std::int64_t nanoseconds;
};

using WallClock = WallTime (*)() noexcept;

// Whole milliseconds since the Unix epoch from the precise real-time clock,
// the fraction of a millisecond dropped.
// Faults with "Time went backwards: SystemTimeError(<amount>)" when the clock
// reads earlier than the epoch.
Timestamp now_ms();

// The conversion behind now_ms(), apart from the clock. Exact for every
// reading. Same fault.
Timestamp epoch_ms(WallTime reading);

// The platform's precise real-time clock: clock_gettime(CLOCK_REALTIME) where
// there is one (through libc, so time-faking preloads steer it), and
// GetSystemTimePreciseAsFileTime on Windows.
WallTime system_wall_clock() noexcept;

// A Windows file time (100-ns ticks since 1601-01-01 00:00:00 UTC) as a
// reading relative to 1970; ticks before 1970 give a negative reading.
WallTime wall_time_from_windows_ticks(std::uint64_t ticks) noexcept;

// Test seam: makes now_ms() read `clock` instead of the system clock and
// returns the clock it replaced. Process-wide; pass the returned value back to
// undo.
WallClock replace_wall_clock(WallClock clock) noexcept;

}  // namespace vostral::runtime
