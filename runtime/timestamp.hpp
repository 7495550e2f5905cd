#pragma once

#include <cassert>
#include <compare>
#include <cstdint>

namespace vostral::runtime {

// A point in time in whole milliseconds since 1970-01-01 00:00:00 UTC, held
// as whole seconds plus the milliseconds within the second. Every clock
// reading (seconds up to INT64_MAX) fits exactly, with plain 64-bit fields on
// every compiler. Ordered as the instants are: seconds first, then
// milliseconds.
class Timestamp {
 public:
  // The epoch itself.
  constexpr Timestamp() noexcept = default;

  // REQUIRES: milliseconds < 1000.
  constexpr Timestamp(std::uint64_t seconds, std::uint32_t milliseconds) noexcept
      : seconds_(seconds), milliseconds_(milliseconds) {
    assert(milliseconds < 1000);
  }

  // The instant `ms` milliseconds after the epoch.
  static constexpr Timestamp from_ms(std::uint64_t ms) noexcept {
    return Timestamp(ms / 1000, static_cast<std::uint32_t>(ms % 1000));
  }

  constexpr std::uint64_t seconds() const noexcept { return seconds_; }
  constexpr std::uint32_t milliseconds() const noexcept { return milliseconds_; }

  friend constexpr bool operator==(const Timestamp&, const Timestamp&) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(const Timestamp&, const Timestamp&) noexcept = default;

 private:
  std::uint64_t seconds_ = 0;
  std::uint32_t milliseconds_ = 0;
};

}  // namespace vostral::runtime
