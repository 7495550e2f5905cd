#include <gtest/gtest.h>

#include <cstdint>

#include "core/game_state.hpp"

namespace vostral {
namespace {

using core::elapsed_text;
using runtime::u128;

TEST(ElapsedText, DropsPartialUnitsAndHasNoDays) {
  struct Case {
    std::uint64_t elapsed_ms;
    const char* text;
  };
  const Case cases[] = {
      {0, "0:0:0"},           {999, "0:0:0"},          {1'000, "0:0:1"},       {59'999, "0:0:59"},
      {60'000, "0:1:0"},      {61'000, "0:1:1"},       {3'599'999, "0:59:59"}, {3'600'000, "1:0:0"},
      {3'725'000, "1:2:5"},   {86'399'999, "23:59:59"}, {90'061'000, "25:1:1"},
      {UINT64_MAX, "5124095576030:25:51"},  // the hour count alone needs more than 32 bits
  };
  // Offsets that are far apart check that only the difference counts.
  for (const u128 start : {u128{0}, u128{1'000}, u128{1'700'000'000'000}, u128{1} << 100}) {
    for (const Case& c : cases) {
      EXPECT_EQ(elapsed_text(start, start + c.elapsed_ms).view(), c.text) << c.elapsed_ms;
    }
  }
}

TEST(ElapsedText, HugeSpansPrintEveryHour) {
  // Worked out by long division: 2^100 ms = 352125166730063722637973 h + 6 min + 45.376 s.
  EXPECT_EQ(elapsed_text(0, u128{1} << 100).view(), "352125166730063722637973:6:45");
  // 2^128 - 1 ms, the widest span there is.
  EXPECT_EQ(elapsed_text(0, ~u128{0}).view(), "94522879700260684295381835397713:23:31");
}

TEST(ElapsedText, ClockSetBackReadsAsZero) {
  struct Case {
    u128 start;
    u128 now;
  };
  for (const Case& c : {Case{1, 0}, Case{5'000'000, 1'000}, Case{~u128{0}, 0}, Case{u128{1} << 64, (u128{1} << 64) - 1}}) {
    EXPECT_EQ(elapsed_text(c.start, c.now).view(), "0:0:0");
  }
}

}  // namespace
}  // namespace vostral
