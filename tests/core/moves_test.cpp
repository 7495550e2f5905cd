#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/game_state.hpp"
#include "reference_game.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using core::Rows;
using core::TarnelCore;

const Rows GAP_IN_THE_MIDDLE = {{1, 2, 3}, {4, 0, 5}, {6, 7, 8}};

TEST(Moves, EachLetterSlidesTheNeighbourIntoTheGap) {
  struct Case {
    char32_t letter;
    Rows after;
  };
  const Case cases[] = {
      {U'U', {{1, 0, 3}, {4, 2, 5}, {6, 7, 8}}},
      {U'D', {{1, 2, 3}, {4, 7, 5}, {6, 0, 8}}},
      {U'L', {{1, 2, 3}, {0, 4, 5}, {6, 7, 8}}},
      {U'R', {{1, 2, 3}, {4, 5, 0}, {6, 7, 8}}},
  };
  for (const Case& c : cases) {
    TarnelCore game = TarnelCore::with_board(GAP_IN_THE_MIDDLE, {});
    EXPECT_EQ(game.move_tile(c.letter), std::optional<char32_t>(c.letter));
    EXPECT_EQ(game.get_tarnel(), c.after) << static_cast<char>(c.letter);
    EXPECT_EQ(game.get_cmds_str(), std::string(1, static_cast<char>(c.letter)));
  }
}

TEST(Moves, BlockedAtEachEdgeButStillLogged) {
  struct Case {
    Rows board;
    char32_t letter;
  };
  const Case cases[] = {
      // top, bottom row
      {{{1, 0, 2}, {3, 4, 5}, {6, 7, 8}}, U'U'},
      {{{1, 2, 3}, {4, 5, 6}, {7, 0, 8}}, U'D'},
      // left, right column
      {{{1, 2, 3}, {0, 4, 5}, {6, 7, 8}}, U'L'},
      {{{1, 2, 3}, {4, 5, 0}, {6, 7, 8}}, U'R'},
      {{{0, 1}, {2, 3}}, U'U'},
      {{{0, 1}, {2, 3}}, U'L'},
      {{{1, 2}, {3, 0}}, U'D'},
      {{{1, 2}, {3, 0}}, U'R'},
      {{{0}}, U'U'},
      {{{0}}, U'D'},
      {{{0}}, U'L'},
      {{{0}}, U'R'},
  };
  for (const Case& c : cases) {
    TarnelCore game = TarnelCore::with_board(c.board, {});
    const bool solved = game.is_solved();
    EXPECT_EQ(game.move_tile(c.letter), std::nullopt) << testing::PrintToString(c.board);
    EXPECT_EQ(game.get_tarnel(), c.board);
    EXPECT_EQ(game.get_cmds_str(), std::string(1, static_cast<char>(c.letter)));
    EXPECT_EQ(game.is_solved(), solved);
  }
}

TEST(Moves, OtherCharactersAreLoggedAsUtf8AndMoveNothing) {
  struct Case {
    char32_t ch;
    std::string bytes;
  };
  const Case cases[] = {
      {U'u', "u"},
      {U'd', "d"},
      {U'l', "l"},
      {U'r', "r"},
      {U'X', "X"},
      {U'7', "7"},
      {U'\0', std::string(1, '\0')},
      {U'\u00E9', "\xC3\xA9"},
      {U'\u07FF', "\xDF\xBF"},
      {U'\u0800', "\xE0\xA0\x80"},
      {U'\uFFFF', "\xEF\xBF\xBF"},
      {U'\uFB02', "\xEF\xAC\x82"},  // a ligature is not upper-cased here
      {U'\U00010000', "\xF0\x90\x80\x80"},
      {U'\U0001F600', "\xF0\x9F\x98\x80"},
      {U'\U0010FFFF', "\xF4\x8F\xBF\xBF"},
  };
  TarnelCore game = TarnelCore::with_board(GAP_IN_THE_MIDDLE, {});
  std::string expected_log;
  for (const Case& c : cases) {
    EXPECT_EQ(game.move_tile(c.ch), std::nullopt) << static_cast<unsigned>(c.ch);
    expected_log += c.bytes;
    EXPECT_EQ(game.get_cmds_str(), expected_log) << static_cast<unsigned>(c.ch);
    EXPECT_EQ(game.get_tarnel(), GAP_IN_THE_MIDDLE);
  }
  EXPECT_EQ(game.move_tile(U'U'), std::optional<char32_t>(U'U'));
  EXPECT_EQ(game.get_cmds_str(), expected_log + "U");
}

TEST(Moves, NonScalarValuesFaultAndChangeNothing) {
  TarnelCore game = TarnelCore::with_board(GAP_IN_THE_MIDDLE, {});
  game.move_tile(U'x');
  for (const char32_t bad : {char32_t{0xD800}, char32_t{0xDBFF}, char32_t{0xDC00}, char32_t{0xDFFF}, char32_t{0x110000},
                             char32_t{0xFFFFFFFF}}) {
    EXPECT_EQ(test::catch_fault([&] { game.move_tile(bad); }).message, "move_tile needs a Unicode scalar value")
        << static_cast<unsigned>(bad);
    EXPECT_EQ(game.get_cmds_str(), "x");
    EXPECT_EQ(game.get_tarnel(), GAP_IN_THE_MIDDLE);
  }
  // The neighbours of the surrogate block are ordinary characters.
  EXPECT_EQ(game.move_tile(char32_t{0xD7FF}), std::nullopt);
  EXPECT_EQ(game.move_tile(char32_t{0xE000}), std::nullopt);
  EXPECT_EQ(game.get_cmds_str(), "x\xED\x9F\xBF\xEE\x80\x80");
}

TEST(Moves, SolvedTestFollowsTheBoard) {
  TarnelCore game = TarnelCore::with_board(test::goal_rows(3), {});
  EXPECT_TRUE(game.is_solved());
  const std::pair<char32_t, bool> steps[] = {
      {U'U', false}, {U'L', false}, {U'D', false}, {U'R', false},  // a loop moves three tiles
      {U'L', false}, {U'U', false}, {U'R', false}, {U'D', true},   // the opposite loop puts them back
  };
  for (const auto& [letter, solved] : steps) {
    game.move_tile(letter);
    EXPECT_EQ(game.is_solved(), solved) << testing::PrintToString(game.get_tarnel());
  }
  game.move_tile(U'L');
  game.move_tile(U'R');
  EXPECT_TRUE(game.is_solved());

  // Two tiles swapped stay unsolved whatever the gap does.
  TarnelCore swapped = TarnelCore::with_board({{2, 1, 3}, {4, 5, 6}, {7, 8, 0}}, {});
  EXPECT_FALSE(swapped.is_solved());
  for (const char32_t letter : {U'U', U'D', U'L', U'R', U'U', U'L'}) {
    swapped.move_tile(letter);
    EXPECT_FALSE(swapped.is_solved());
  }
}

}  // namespace
}  // namespace vostral
