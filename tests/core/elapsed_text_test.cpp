#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>

#include "core/game_state.hpp"
#include "printers.hpp"

namespace vostral {
namespace {

using core::elapsed_text;
using runtime::Timestamp;

constexpr std::uint64_t LARGEST_SECONDS = std::numeric_limits<std::int64_t>::max();
// The latest instant a clock reading can give.
constexpr Timestamp LATEST{LARGEST_SECONDS, 999};
// 2^64 ms = 18446744073709551.616 s: timestamps on either side of it.
constexpr Timestamp TWO_TO_64_MS{18'446'744'073'709'551, 616};

// `start` + `ms`, carried by hand.
Timestamp after(Timestamp start, std::uint64_t ms) {
  const std::uint64_t milliseconds = start.milliseconds() + ms % 1000;
  return Timestamp(start.seconds() + ms / 1000 + milliseconds / 1000, static_cast<std::uint32_t>(milliseconds % 1000));
}

// Each span's text, from `start` to `now`.
struct Span {
  Timestamp start;
  Timestamp now;
  const char* text;
};

void expect_texts(std::initializer_list<Span> spans) {
  for (const Span& s : spans) {
    EXPECT_EQ(elapsed_text(s.start, s.now).view(), s.text)
        << testing::PrintToString(s.start) << " to " << testing::PrintToString(s.now);
  }
}

TEST(ElapsedText, DropsPartialUnitsAndHasNoDays) {
  struct Case {
    std::uint64_t elapsed_ms;
    const char* text;
  };
  const Case cases[] = {
      {0, "0:0:0"},           {999, "0:0:0"},
      {1'000, "0:0:1"},       {59'999, "0:0:59"},
      {60'000, "0:1:0"},      {61'000, "0:1:1"},
      {3'599'999, "0:59:59"}, {3'600'000, "1:0:0"},
      {3'725'000, "1:2:5"},   {86'399'999, "23:59:59"},
      {90'061'000, "25:1:1"}, {UINT64_MAX, "5124095576030:25:51"},  // the hour count alone needs more than 32 bits
  };
  // Starts that are far apart, and ones whose milliseconds make every span
  // borrow, check that only the difference counts.
  const Timestamp starts[] = {Timestamp{},
                              Timestamp::from_ms(1'000),
                              Timestamp::from_ms(1'700'000'000'123),
                              Timestamp(1'700'000'000, 999),
                              Timestamp(LARGEST_SECONDS / 2, 500),
                              Timestamp(TWO_TO_64_MS.seconds() - 1, 999)};
  for (const Timestamp start : starts) {
    for (const Case& c : cases) {
      EXPECT_EQ(elapsed_text(start, after(start, c.elapsed_ms)).view(), c.text)
          << testing::PrintToString(start) << " + " << c.elapsed_ms;
    }
  }
}

TEST(ElapsedText, LargestSpansAndSpansAcrossTwoToThe64Milliseconds) {
  // Worked out by long division: (2^63 - 1) s = 2562047788015215 h + 30 min + 7 s.
  expect_texts({
      {Timestamp{}, LATEST, "2562047788015215:30:7"},
      {Timestamp(0, 999), LATEST, "2562047788015215:30:7"},
      {Timestamp(1, 0), LATEST, "2562047788015215:30:6"},
      {Timestamp(LARGEST_SECONDS - 3'600, 999), LATEST, "1:0:0"},
      {Timestamp(LARGEST_SECONDS - 1, 999), LATEST, "0:0:1"},
      {Timestamp(LARGEST_SECONDS, 0), LATEST, "0:0:0"},
      // 2^64 ms = 5124095576030 h + 25 min + 51.616 s.
      {Timestamp{}, TWO_TO_64_MS, "5124095576030:25:51"},
      {Timestamp(TWO_TO_64_MS.seconds(), 615), Timestamp(TWO_TO_64_MS.seconds() + 1, 615), "0:0:1"},
      {Timestamp(TWO_TO_64_MS.seconds() - 1, 616), Timestamp(TWO_TO_64_MS.seconds() + 3'600, 616), "1:0:1"},
      {Timestamp(TWO_TO_64_MS.seconds(), 615), TWO_TO_64_MS, "0:0:0"},
  });
}

TEST(ElapsedText, MillisecondsBorrowFromTheSeconds) {
  expect_texts({
      {Timestamp(10, 999), Timestamp(11, 0), "0:0:0"},
      {Timestamp(10, 999), Timestamp(11, 998), "0:0:0"},
      {Timestamp(10, 999), Timestamp(11, 999), "0:0:1"},
      {Timestamp(10, 1), Timestamp(70, 0), "0:0:59"},
      {Timestamp(0, 500), Timestamp(3'600, 499), "0:59:59"},
      {Timestamp(0, 500), Timestamp(3'600, 500), "1:0:0"},
  });
}

TEST(ElapsedText, ClockSetBackReadsAsZero) {
  expect_texts({
      {Timestamp::from_ms(1), Timestamp{}, "0:0:0"},
      {Timestamp::from_ms(5'000'000), Timestamp::from_ms(1'000), "0:0:0"},
      {Timestamp(5, 999), Timestamp(5, 0), "0:0:0"},
      {Timestamp(6, 0), Timestamp(5, 999), "0:0:0"},  // seconds decide before milliseconds
      {LATEST, Timestamp{}, "0:0:0"},
      {TWO_TO_64_MS, Timestamp(TWO_TO_64_MS.seconds(), 615), "0:0:0"},
      {LATEST, LATEST, "0:0:0"},
  });
}

}  // namespace
}  // namespace vostral
