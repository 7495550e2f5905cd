#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

#include "core/game_state.hpp"
#include "printers.hpp"
#include "reference_game.hpp"
#include "runtime/clock.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using runtime::Timestamp;
using runtime::WallTime;

std::string fault_of(WallTime reading) {
  return test::catch_fault([&] { runtime::epoch_ms(reading); }).message;
}

TEST(ClockReading, WholeMillisecondsSinceTheEpoch) {
  struct Case {
    WallTime reading;
    Timestamp ms;
  };
  constexpr std::int64_t max_seconds = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {{0, 0}, Timestamp{}},
      {{0, 999'999}, Timestamp{}},
      {{0, 1'000'000}, Timestamp::from_ms(1)},
      {{1, 999'900'000}, Timestamp::from_ms(1'999)},
      {{1'700'000'000, 123'456'789}, Timestamp::from_ms(1'700'000'000'123)},
      // Past 2^64 ms, up to the largest reading there is.
      {{18'446'744'073'709'552, 0}, Timestamp(18'446'744'073'709'552, 0)},
      {{max_seconds, 999'999'999}, Timestamp(static_cast<std::uint64_t>(max_seconds), 999)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(runtime::epoch_ms(c.reading), c.ms) << c.reading.seconds << "s " << c.reading.nanoseconds;
  }
}

TEST(ClockReading, WindowsFileTimesCountFrom1601) {
  struct Case {
    std::uint64_t ticks;  // of 100 ns since 1601-01-01
    WallTime reading;
  };
  constexpr std::uint64_t epoch = 116'444'736'000'000'000;  // 1970-01-01 in those ticks
  const Case cases[] = {
      {epoch, {0, 0}},
      {epoch + 1, {0, 100}},
      {epoch + 19'999'999, {1, 999'999'900}},
      {epoch + 17'000'000'001'234'567, {1'700'000'000, 123'456'700}},
      {epoch - 1, {-1, 999'999'900}},
      {epoch - 10'000'000, {-1, 0}},
      {epoch - 15'000'000, {-2, 500'000'000}},
      {0, {-11'644'473'600, 0}},
      {UINT64_MAX, {1'833'029'933'770, 955'161'500}},
  };
  for (const Case& c : cases) {
    const WallTime reading = runtime::wall_time_from_windows_ticks(c.ticks);
    EXPECT_EQ(reading.seconds, c.reading.seconds) << c.ticks;
    EXPECT_EQ(reading.nanoseconds, c.reading.nanoseconds) << c.ticks;
  }
  // Ticks before 1970 reach the same fault as any reading before it.
  EXPECT_EQ(fault_of(runtime::wall_time_from_windows_ticks(epoch - 5'000'000)),
            "Time went backwards: SystemTimeError(0.5s)");
  EXPECT_EQ(fault_of(runtime::wall_time_from_windows_ticks(0)), "Time went backwards: SystemTimeError(11644473600s)");
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
    EXPECT_EQ(runtime::now_ms(), Timestamp::from_ms(12'345));
    EXPECT_EQ(clock.reads(), 1);
  }
  EXPECT_EQ(runtime::replace_wall_clock(original), original);
  // Back on the real clock: some time between 2020 and 2200.
  const Timestamp now = runtime::now_ms();
  EXPECT_GT(now, Timestamp::from_ms(1'577'836'800'000));
  EXPECT_LT(now, Timestamp::from_ms(7'258'118'400'000));
}

TEST(ClockReading, SystemClockAgreesWithTheStandardClock) {
  // The platform's own call, converted here, against the standard library's
  // reading of the system clock: the same instant to within a few seconds.
  const runtime::WallTime ours = runtime::system_wall_clock();
  const auto theirs =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  EXPECT_GE(ours.nanoseconds, 0);
  EXPECT_LT(ours.nanoseconds, 1'000'000'000);
  EXPECT_LE(ours.seconds - static_cast<std::int64_t>(theirs.count()), 5);
  EXPECT_GE(ours.seconds - static_cast<std::int64_t>(theirs.count()), -5);
}

TEST(ClockReading, DurationFollowsTheClock) {
  test::ScriptedClock clock({4'725, 0});
  const core::TarnelCore game = core::TarnelCore::with_board(test::goal_rows(2), Timestamp::from_ms(1'000'000));
  EXPECT_EQ(game.duration().view(), "1:2:5");
  clock.set({999, 999'000'000});  // set back below the start
  EXPECT_EQ(game.duration().view(), "0:0:0");
  clock.set({-1, 500'000'000});
  EXPECT_EQ(test::catch_fault([&] { game.duration(); }).message, "Time went backwards: SystemTimeError(0.5s)");
}

TEST(ClockReading, CreationBeforeTheEpochFaults) {
  test::ScriptedClock clock({-2, 0});
  EXPECT_EQ(test::catch_fault([] { core::TarnelCore::create(3); }).message, "Time went backwards: SystemTimeError(2s)");
  EXPECT_EQ(clock.reads(), 1);
}

}  // namespace
}  // namespace vostral
