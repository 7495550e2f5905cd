#pragma once

#include <cstdint>

#include "runtime/u128.hpp"

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
u128 now_ms();

// The conversion behind now_ms(), apart from the clock. Same fault.
u128 epoch_ms(WallTime reading);

// The real-time clock as libc reads it (CLOCK_REALTIME), so time-faking
// preloads steer it.
WallTime system_wall_clock() noexcept;

// Test seam: makes now_ms() read `clock` instead of the system clock and
// returns the clock it replaced. Process-wide; pass the returned value back to
// undo.
WallClock replace_wall_clock(WallClock clock) noexcept;

}  // namespace vostral::runtime
