#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/game_state.hpp"
#include "reference_game.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using core::Rows;
using core::TarnelCore;

const Rows ONE_FROM_SOLVED = {{1, 2}, {0, 3}};  // R solves it
const Rows MIDDLE_GAP = {{1, 2, 3}, {4, 0, 5}, {6, 7, 8}};

TEST(MoveSequence, PlaysUpperCasedCharactersUntilSolved) {
  struct Case {
    Rows board;
    const char* text;
    bool solved;
    const char* log;
    Rows after;
  };
  const Case cases[] = {
      {ONE_FROM_SOLVED, "RLR", true, "R", {{1, 2}, {3, 0}}},  // the rest is neither played nor logged
      {ONE_FROM_SOLVED, "rlr", true, "R", {{1, 2}, {3, 0}}},
      {ONE_FROM_SOLVED, "UD", false, "UD", ONE_FROM_SOLVED},
      {ONE_FROM_SOLVED, "L", false, "L", ONE_FROM_SOLVED},  // blocked, still logged
      {ONE_FROM_SOLVED, "", false, "", ONE_FROM_SOLVED},
      {ONE_FROM_SOLVED, "az?R", true, "AZ?R", {{1, 2}, {3, 0}}},            // every letter upper-cased
      {ONE_FROM_SOLVED, "\xC3\x9F", false, "SS", ONE_FROM_SOLVED},          // ß
      {ONE_FROM_SOLVED, "\xC3\xA9r", true, "\xC3\x89R", {{1, 2}, {3, 0}}},  // é
      // The solved test runs after any character, even a blocked one.
      {test::goal_rows(3), "dUU", true, "D", test::goal_rows(3)},
      {test::goal_rows(3), "!UU", true, "!", test::goal_rows(3)},
      // A ligature plays each letter of its upper-case form.
      {MIDDLE_GAP, "\xEF\xAC\x82", false, "FL", {{1, 2, 3}, {0, 4, 5}, {6, 7, 8}}},   // ﬂ
      {MIDDLE_GAP, "\xEF\xAC\x84", false, "FFL", {{1, 2, 3}, {0, 4, 5}, {6, 7, 8}}},  // ﬄ
      {MIDDLE_GAP, "\xEF\xAC\x82\xEF\xAC\x82", false, "FLFL", {{1, 2, 3}, {0, 4, 5}, {6, 7, 8}}},
      {test::goal_rows(3), "\xEF\xAC\x82UU", true, "F", test::goal_rows(3)},  // stops inside ﬂ
      {MIDDLE_GAP, "\xF0\x9F\x98\x80u", false, "\xF0\x9F\x98\x80U", {{1, 0, 3}, {4, 2, 5}, {6, 7, 8}}},
  };
  for (const Case& c : cases) {
    TarnelCore game = TarnelCore::with_board(c.board, {});
    game.move_tile(U'Z');  // an earlier log is emptied first
    EXPECT_EQ(game.move_sequence(c.text), c.solved) << c.text;
    EXPECT_EQ(game.get_cmds_str(), c.log) << c.text;
    EXPECT_EQ(game.get_tarnel(), c.after) << c.text;
    EXPECT_EQ(game.is_solved(), game.get_tarnel() == test::goal_rows(c.board.size())) << c.text;
  }
}

TEST(MoveSequence, LongTextThatNeverSolvesLogsEveryCharacter) {
  // Tiles 1 and 2 swapped: no sequence can solve this board.
  TarnelCore game = TarnelCore::with_board({{2, 1, 3}, {4, 5, 6}, {7, 8, 0}}, {});
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "uLdR"[i % 4];
  EXPECT_FALSE(game.move_sequence(text));
  std::string upper = text;
  for (char& ch : upper) ch = ch == 'u' ? 'U' : ch == 'd' ? 'D' : ch;
  EXPECT_EQ(game.get_cmds_str(), upper);
  EXPECT_EQ(game.get_tarnel(), test::replay({{2, 1, 3}, {4, 5, 6}, {7, 8, 0}}, upper));

  // A short text after a long one replaces the log entirely.
  EXPECT_FALSE(game.move_sequence("\xC3\x9F"));
  EXPECT_EQ(game.get_cmds_str(), "SS");
}

TEST(MoveSequence, IllFormedTextFaults) {
  using namespace std::string_view_literals;
  const std::string_view texts[] = {
      "\x80"sv,                       // continuation without a lead
      "U\xC3"sv,                      // truncated at the end of the text
      "\xE2\x82\xAC"sv.substr(0, 2),  // truncated, though the next byte in memory would fit
      "\xC3("sv,                      // lead followed by ASCII
      "\xC0\xAF"sv,                   // overlong
      "\xE0\x80\xAF"sv,               // overlong, three bytes
      "\xED\xA0\x80"sv,               // surrogate
      "\xF4\x90\x80\x80"sv,           // above U+10FFFF
      "\xF8\x88\x80\x80\x80"sv,
      "\xFF"sv,
  };
  for (const std::string_view text : texts) {
    TarnelCore game = TarnelCore::with_board(MIDDLE_GAP, {});
    EXPECT_EQ(test::catch_fault([&] { game.move_sequence(text); }).message,
              "move_sequence needs well-formed UTF-8 text")
        << testing::PrintToString(std::string(text));
  }
}

}  // namespace
}  // namespace vostral
