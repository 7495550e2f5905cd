#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/game_state.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using core::TarnelCore;

TEST(Creation, BadSidesFaultBeforeTheClockIsRead) {
  struct Case {
    std::uint64_t mode;
    const char* message;
  };
  // The large sides would need from gigabytes to exabytes of cells, so merely
  // reaching the fault shows that nothing was allocated first.
  const Case cases[] = {
      {0, "index out of bounds: the len is 0 but the index is 18446744073709551615"},
      {46'341, "mode 46341 is too large: the largest board side is 46340"},
      {1'000'000, "mode 1000000 is too large: the largest board side is 46340"},
      {(std::uint64_t{1} << 61) - 1, "mode 2305843009213693951 is too large: the largest board side is 46340"},
      {std::uint64_t{1} << 61, "capacity overflow"},
      {UINT64_MAX, "capacity overflow"},
  };
  test::ScriptedClock clock({1'700'000'000, 0});
  for (const Case& c : cases) {
    const test::CaughtFault caught = test::catch_fault([&] { TarnelCore::create(c.mode); });
    EXPECT_EQ(caught.message, c.message) << c.mode;
    EXPECT_TRUE(caught.report.ends_with(std::string(":\n") + c.message + "\n")) << caught.report;
    EXPECT_EQ(clock.reads(), 0) << c.mode;
  }
}

TEST(Creation, ReadsTheClockOnceForTheStartTime) {
  test::ScriptedClock clock({1'700'000'000, 123'987'654});
  for (const std::uint64_t mode : {1u, 2u, 4u, 9u}) {
    clock.set({1'700'000'000, 123'987'654});
    const TarnelCore game = TarnelCore::create(mode);
    EXPECT_EQ(clock.reads(), 1) << mode;
    EXPECT_EQ(game.get_mode(), mode);
    EXPECT_EQ(game.get_tarnel().size(), mode);
    // The start is the reading in whole milliseconds (…000.123 s): one
    // millisecond short of 1 h 2 min 5 s later is still 1:2:4.
    clock.set({1'700'003'725, 122'999'999});
    EXPECT_EQ(game.duration().view(), "1:2:4") << mode;
    clock.set({1'700'003'725, 123'000'000});
    EXPECT_EQ(game.duration().view(), "1:2:5") << mode;
  }
}

TEST(Creation, SideOneBlocksEveryScrambleLetter) {
  const TarnelCore game = TarnelCore::create(1);
  EXPECT_EQ(game.get_tarnel(), (core::Rows{{0}}));
  EXPECT_TRUE(game.is_solved());
  const std::string log = game.get_cmds_str();
  ASSERT_EQ(log.size(), 1000u);
  EXPECT_EQ(log.find_first_not_of("UDLR"), std::string::npos);
}

}  // namespace
}  // namespace vostral
