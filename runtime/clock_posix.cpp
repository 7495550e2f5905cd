// The wall clock where the C library has clock_gettime (Linux, macOS, the BSDs).
#include <ctime>

#include "runtime/clock.hpp"

namespace vostral::runtime {

WallTime system_wall_clock() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return WallTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
}

}  // namespace vostral::runtime
