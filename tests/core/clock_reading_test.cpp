#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/game_state.hpp"
#include "reference_game.hpp"
#include "runtime/clock.hpp"
#include "runtime/fault.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using runtime::u128;
using runtime::WallTime;

std::string fault_of(WallTime reading) {
  testing::internal::CaptureStderr();
  try {
    runtime::epoch_ms(reading);
  } catch (const runtime::Fault& fault) {
    testing::internal::GetCapturedStderr();
    return fault.message();
  }
  testing::internal::GetCapturedStderr();
  return "no fault";
}

TEST(ClockReading, WholeMillisecondsSinceTheEpoch) {
  struct Case {
    WallTime reading;
    u128 ms;
  };
  constexpr std::int64_t max_seconds = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {{0, 0}, 0},
      {{0, 999'999}, 0},
      {{0, 1'000'000}, 1},
      {{1, 999'900'000}, 1'999},
      {{1'700'000'000, 123'456'789}, 1'700'000'000'123},
      // Would overflow 64 bits: the product is taken in 128.
      {{max_seconds, 999'999'999}, u128{static_cast<std::uint64_t>(max_seconds)} * 1000 + 999},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(runtime::epoch_ms(c.reading) == c.ms) << c.reading.seconds << "s " << c.reading.nanoseconds;
  }
}

TEST(ClockReading, BeforeTheEpochFaultsWithTheDistance) {
  struct Case {
    WallTime reading;
    const char* amount;
  };
  const Case cases[] = {
      {{-1, 500'000'000}, "0.5s"},
      {{-1, 0}, "1s"},
      {{-2, 0}, "2s"},
      {{-1, 999'999'999}, "0.000000001s"},
      {{-1, 1}, "0.999999999s"},
      {{-3, 250'000'000}, "2.75s"},
      {{-86'400, 0}, "86400s"},
      {{std::numeric_limits<std::int64_t>::min(), 0}, "9223372036854775808s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fault_of(c.reading), std::string("Time went backwards: SystemTimeError(") + c.amount + ")")
        << c.reading.seconds << "s " << c.reading.nanoseconds;
  }
}

TEST(ClockReading, SeamReplacesAndRestoresTheClock) {
  const runtime::WallClock original = runtime::replace_wall_clock(nullptr);
  runtime::replace_wall_clock(original);
  {
    test::ScriptedClock clock({12, 345'000'000});
    EXPECT_TRUE(runtime::now_ms() == 12'345);
    EXPECT_EQ(clock.reads(), 1);
  }
  EXPECT_EQ(runtime::replace_wall_clock(original), original);
  // Back on the real clock: some time between 2020 and 2200.
  const u128 now = runtime::now_ms();
  EXPECT_TRUE(now > u128{1'577'836'800'000} && now < u128{7'258'118'400'000});
}

TEST(ClockReading, DurationFollowsTheClock) {
  test::ScriptedClock clock({4'725, 0});
  const core::TarnelCore game = core::TarnelCore::with_board(test::goal_rows(2), 1'000'000);
  EXPECT_EQ(game.duration().view(), "1:2:5");
  clock.set({999, 999'000'000});  // set back below the start
  EXPECT_EQ(game.duration().view(), "0:0:0");
  clock.set({-1, 500'000'000});
  testing::internal::CaptureStderr();
  try {
    game.duration();
    ADD_FAILURE() << "read a pre-1970 clock";
  } catch (const runtime::Fault& fault) {
    EXPECT_EQ(fault.message(), "Time went backwards: SystemTimeError(0.5s)");
  }
  testing::internal::GetCapturedStderr();
}

TEST(ClockReading, CreationBeforeTheEpochFaults) {
  test::ScriptedClock clock({-2, 0});
  testing::internal::CaptureStderr();
  try {
    core::TarnelCore::create(3);
    ADD_FAILURE() << "created with a pre-1970 clock";
  } catch (const runtime::Fault& fault) {
    EXPECT_EQ(fault.message(), "Time went backwards: SystemTimeError(2s)");
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(clock.reads(), 1);
}

}  // namespace
}  // namespace vostral
