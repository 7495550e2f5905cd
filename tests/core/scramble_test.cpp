#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>
#include <string>

#include "core/game_state.hpp"
#include "reference_game.hpp"

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

      // The same replay through the core itself, from a solved board.
      TarnelCore replayed = TarnelCore::with_board(test::goal_rows(n), {});
      for (const char letter : log) replayed.move_tile(static_cast<char32_t>(letter));
      EXPECT_EQ(replayed.get_tarnel(), board) << n;
      EXPECT_EQ(replayed.get_cmds_str(), log) << n;
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

TEST(Scramble, TwoGamesHaveDifferentLogs) {
  const TarnelCore first = TarnelCore::create(4);
  const TarnelCore second = TarnelCore::create(4);
  EXPECT_NE(first.get_cmds_str(), second.get_cmds_str());
}

}  // namespace
}  // namespace vostral
