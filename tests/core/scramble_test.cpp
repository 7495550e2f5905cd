#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <span>
#include <set>
#include <string>
#include <vector>

#include "core/game_state.hpp"
#include "reference_game.hpp"
#include "runtime/thread_rng.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using core::Rows;
using core::TarnelCore;

// The scramble is random, so it is checked by what must hold for every draw.
TEST(Scramble, LogOfThousandLettersReplaysToTheBoard) {
  for (const std::uint64_t n : {2u, 3u, 4u, 5u, 7u, 16u}) {
    for (int round = 0; round < 10; ++round) {
      const TarnelCore game = TarnelCore::create(n);
      const Rows board = game.get_tarnel();
      const std::string log = game.get_cmds_str();
      ASSERT_EQ(log.size(), 1000u) << n;
      ASSERT_EQ(log.find_first_not_of("UDLR"), std::string::npos) << n;
      ASSERT_TRUE(test::is_permutation_of_cells(board)) << n;
      EXPECT_EQ(test::replay(test::goal_rows(n), log), board) << "n=" << n << " log " << log;
      EXPECT_EQ(game.is_solved(), board == test::goal_rows(n)) << n;
    }
  }
}

TEST(Scramble, TwoByTwoLandsOnAReachableArrangement) {
  // Everything the gap can reach from the goal, found by search in the model.
  std::set<Rows> reachable{test::goal_rows(2)};
  std::deque<Rows> pending{test::goal_rows(2)};
  while (!pending.empty()) {
    for (const char32_t letter : {U'U', U'D', U'L', U'R'}) {
      test::ReferenceGame next{pending.front(), {}};
      if (next.move_tile(letter) && reachable.insert(next.board).second) pending.push_back(next.board);
    }
    pending.pop_front();
  }
  ASSERT_EQ(reachable.size(), 12u);

  std::set<Rows> seen;
  for (int round = 0; round < 200; ++round) {
    const Rows board = TarnelCore::create(2).get_tarnel();
    EXPECT_TRUE(reachable.contains(board)) << testing::PrintToString(board);
    seen.insert(board);
  }
  // A stuck scramble would land on the same board every time; 200 random
  // walks all ending alike has odds far below one in 10^9.
  EXPECT_GT(seen.size(), 1u);
}

int fixed_seed(std::span<std::byte> out) noexcept {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::byte>(i * 29 + 3);
  return 0;
}

TEST(Scramble, DrawsDoNotDependOnHowManyAreAskedAtOnce) {
  // Draws are taken from each generator output whole or in part; asked one
  // at a time or in runs that start and end inside an output, the stream is
  // the same.
  test::ScopedEntropySource source(&fixed_seed);
  const auto draws = [](std::initializer_list<std::size_t> runs) {
    runtime::reset_thread_rng();
    std::vector<std::uint8_t> all;
    for (const std::size_t run : runs) {
      std::vector<std::uint8_t> part(run);
      runtime::draw_below_4(part);
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  };
  runtime::reset_thread_rng();
  std::vector<std::uint8_t> one_by_one;
  for (int i = 0; i < 2'100; ++i) {
    std::uint8_t draw[1];
    runtime::draw_below_4(draw);
    one_by_one.push_back(draw[0]);
  }
  for (const auto& runs : {std::initializer_list<std::size_t>{1000, 1000, 100},
                           {7, 33, 32, 1, 64, 963, 1000},
                           {31, 1, 31, 1, 2036},
                           {2100}}) {
    EXPECT_EQ(draws(runs), one_by_one);
  }
}

}  // namespace
}  // namespace vostral
