#include "runtime/clock.hpp"

#include <atomic>
#include <string>

#include "runtime/fault.hpp"

namespace vostral::runtime {
namespace {

constexpr std::int64_t NANOS_PER_SECOND = 1'000'000'000;

// Windows file times count 100-ns ticks from 1601-01-01; 369 years (89 of
// them leap years) separate that from 1970-01-01.
constexpr std::uint64_t TICKS_PER_SECOND = 10'000'000;
constexpr std::int64_t NANOS_PER_TICK = 100;
constexpr std::uint64_t TICKS_TO_1970 = 11'644'473'600 * TICKS_PER_SECOND;

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

WallClock replace_wall_clock(WallClock clock) noexcept {
  return active_clock.exchange(clock != nullptr ? clock : &system_wall_clock);
}

Timestamp epoch_ms(WallTime reading) {
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
    raise_fault("Time went backwards: SystemTimeError(" + seconds_text(before_seconds, before_nanos) + ")");
  }
  return Timestamp(static_cast<std::uint64_t>(reading.seconds),
                   static_cast<std::uint32_t>(reading.nanoseconds / 1'000'000));
}

WallTime wall_time_from_windows_ticks(std::uint64_t ticks) noexcept {
  if (ticks >= TICKS_TO_1970) {
    const std::uint64_t since = ticks - TICKS_TO_1970;
    return WallTime{static_cast<std::int64_t>(since / TICKS_PER_SECOND),
                    static_cast<std::int64_t>(since % TICKS_PER_SECOND) * NANOS_PER_TICK};
  }
  // Before 1970: whole seconds rounded down, so the nanoseconds stay non-negative.
  const std::uint64_t before = TICKS_TO_1970 - ticks;
  const auto whole = static_cast<std::int64_t>(before / TICKS_PER_SECOND);
  const auto part = static_cast<std::int64_t>(before % TICKS_PER_SECOND);
  if (part == 0) return WallTime{-whole, 0};
  return WallTime{-whole - 1, (static_cast<std::int64_t>(TICKS_PER_SECOND) - part) * NANOS_PER_TICK};
}

Timestamp now_ms() { return epoch_ms(active_clock.load(std::memory_order_relaxed)()); }

}  // namespace vostral::runtime
