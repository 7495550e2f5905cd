#include "runtime/clock.hpp"

#include <atomic>
#include <ctime>
#include <string>

#include "runtime/fault.hpp"

namespace vostral::runtime {
namespace {

constexpr std::int64_t NANOS_PER_SECOND = 1'000'000'000;

std::atomic<WallClock> active_clock{&system_wall_clock};

// "1.5s", "0.000000001s", "86400s": seconds with the fraction's trailing zeros dropped.
std::string seconds_text(std::uint64_t seconds, std::uint64_t nanoseconds) {
  std::string text = std::to_string(seconds);
  if (nanoseconds != 0) {
    std::string fraction = std::to_string(nanoseconds);
    fraction.insert(0, 9 - fraction.size(), '0');
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text += '.';
    text += fraction;
  }
  text += 's';
  return text;
}

}  // namespace

WallTime system_wall_clock() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return WallTime{now.tv_sec, now.tv_nsec};
}

WallClock replace_wall_clock(WallClock clock) noexcept {
  return active_clock.exchange(clock != nullptr ? clock : &system_wall_clock);
}

u128 epoch_ms(WallTime reading) {
  if (reading.seconds < 0) {
    // The distance back to the epoch, from a reading normalised as
    // seconds (negative) + nanoseconds (non-negative).
    const auto whole = static_cast<std::uint64_t>(-(reading.seconds + 1));
    std::uint64_t before_seconds = whole;
    auto before_nanos = static_cast<std::uint64_t>(NANOS_PER_SECOND - reading.nanoseconds);
    if (before_nanos == static_cast<std::uint64_t>(NANOS_PER_SECOND)) {
      before_seconds += 1;
      before_nanos = 0;
    }
    raise_fault("Time went backwards: SystemTimeError(" + seconds_text(before_seconds, before_nanos) +
                ")");
  }
  return static_cast<u128>(reading.seconds) * 1000u +
         static_cast<u128>(reading.nanoseconds / 1'000'000);
}

u128 now_ms() { return epoch_ms(active_clock.load(std::memory_order_relaxed)()); }

}  // namespace vostral::runtime
