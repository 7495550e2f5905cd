// The wall clock on Windows: the precise system time, in 100-ns ticks since 1601.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "runtime/clock.hpp"

namespace vostral::runtime {

WallTime system_wall_clock() noexcept {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  return wall_time_from_windows_ticks(ticks);
}

}  // namespace vostral::runtime
