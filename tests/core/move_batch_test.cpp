#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/game_state.hpp"
#include "core/move_batch.hpp"
#include "reference_game.hpp"

namespace vostral {
namespace {

using core::MOVE_BATCH;
using core::Rows;
using core::TarnelCore;

// The gap's walk as the rules state it, one bounds test per step.
struct Walk {
  std::vector<std::uint32_t> homes;
  std::size_t row;
  std::size_t column;
};

Walk naive_walk(const std::string& letters, std::size_t side, std::size_t row, std::size_t column) {
  Walk walk{{}, row, column};
  for (const char letter : letters) {
    const char upper = letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
    if (upper == 'U' && walk.row > 0) --walk.row;
    if (upper == 'D' && walk.row + 1 < side) ++walk.row;
    if (upper == 'L' && walk.column > 0) --walk.column;
    if (upper == 'R' && walk.column + 1 < side) ++walk.column;
    walk.homes.push_back(static_cast<std::uint32_t>(walk.row * side + walk.column + 1));
  }
  return walk;
}

core::StepTable letter_steps() {
  core::StepTable steps{};
  for (const char letter : {'U', 'u'}) steps[static_cast<std::size_t>(letter)] = core::pack_step(-1, 0);
  for (const char letter : {'D', 'd'}) steps[static_cast<std::size_t>(letter)] = core::pack_step(+1, 0);
  for (const char letter : {'L', 'l'}) steps[static_cast<std::size_t>(letter)] = core::pack_step(0, -1);
  for (const char letter : {'R', 'r'}) steps[static_cast<std::size_t>(letter)] = core::pack_step(0, +1);
  return steps;
}

// Codes of every kind a batch takes: half of them letters, the others any
// ASCII character.
std::string random_codes(std::size_t length, std::mt19937_64& rng) {
  std::string codes(length, ' ');
  for (char& code : codes) code = rng() % 2 == 0 ? "UDLRudlr"[rng() % 8] : static_cast<char>(rng() % 128);
  return codes;
}

// Texts that stress the walk: runs that pile up against an edge, letters that
// go back and forth, and random ones with characters that move nothing.
std::vector<std::string> walk_texts(std::size_t side, std::mt19937_64& rng) {
  std::vector<std::string> texts;
  texts.push_back(std::string(side + 40, 'U') + std::string(side + 40, 'L') + std::string(7, 'D') +
                  std::string(side + 40, 'r') + std::string(side + 40, 'd'));
  texts.push_back([&] {
    std::string text;
    for (std::size_t i = 0; i < 301; ++i) text += i % 2 == 0 ? 'U' : 'D';
    for (std::size_t i = 0; i < 301; ++i) text += i % 2 == 0 ? 'l' : 'R';
    return text;
  }());
  for (const std::size_t length : {1u, 3u, 4u, 5u, 255u, 256u}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += "UDLRudlrx?"[rng() % 10];
    texts.push_back(text);
  }
  // Any code below 128, of any length a batch can have.
  for (int i = 0; i < 4; ++i) texts.push_back(random_codes(rng() % (MOVE_BATCH + 1), rng));
  return texts;
}

TEST(GapPath, BothWalksFollowTheBoundsTestedSteps) {
  std::mt19937_64 rng(0x9a7'0001);
  const core::StepTable steps = letter_steps();
  // 32767 is the widest board the vector walk takes, 32768 the first it hands on.
  std::vector<std::size_t> sides = {1, 2, 3, 4, 7, 100, 32767, 32768, 46340};
  for (int i = 0; i < 3; ++i) sides.push_back(1 + rng() % 64), sides.push_back(32767 - rng() % 512);
  for (const std::size_t side : sides) {
    for (const std::string& text : walk_texts(side, rng)) {
      for (std::size_t at = 0; at < text.size(); at += MOVE_BATCH) {
        const std::size_t count = std::min(MOVE_BATCH, text.size() - at);
        const std::string piece = text.substr(at, count);
        const auto* codes = reinterpret_cast<const std::uint8_t*>(piece.data());
        const std::size_t row = rng() % side;
        const std::size_t column = rng() % side;
        const Walk expected = naive_walk(piece, side, row, column);
        for (const bool vector : {true, false}) {
          SCOPED_TRACE("side " + std::to_string(side) + (vector ? " vector" : " portable") + " text " + piece);
          std::vector<std::uint32_t> homes(count);
          std::size_t got_row = row;
          std::size_t got_column = column;
          (vector ? core::gap_path : core::gap_path_portable)(codes, count, steps, side, got_row, got_column,
                                                              homes.data());
          ASSERT_EQ(homes, expected.homes);
          ASSERT_EQ(got_row, expected.row);
          ASSERT_EQ(got_column, expected.column);
        }
      }
    }
  }
}

// A board a few moves from the goal, flat as play_batch takes it, with the
// letters that walk it back.
struct NearGoal {
  std::vector<core::Cell> cells;
  std::size_t row;
  std::size_t column;
  std::size_t misplaced;
  std::string way_back;
};

NearGoal near_goal(std::size_t side, std::size_t moves, std::mt19937_64& rng) {
  NearGoal board{std::vector<core::Cell>(side * side), side - 1, side - 1, 0, {}};
  for (std::size_t i = 0; i + 1 < side * side; ++i) board.cells[i] = static_cast<core::Cell>(i + 1);
  for (std::size_t i = 0; i < moves; ++i) {
    const char letter = "UDLR"[rng() % 4];
    std::size_t row = board.row;
    std::size_t column = board.column;
    if (letter == 'U' && row > 0) --row;
    if (letter == 'D' && row + 1 < side) ++row;
    if (letter == 'L' && column > 0) --column;
    if (letter == 'R' && column + 1 < side) ++column;
    if (row == board.row && column == board.column) continue;
    std::swap(board.cells[board.row * side + board.column], board.cells[row * side + column]);
    board.row = row;
    board.column = column;
    board.way_back += letter;
  }
  board.way_back = test::undo_letters(board.way_back);
  for (std::size_t i = 0; i < side * side; ++i) {
    board.misplaced +=
        static_cast<std::size_t>(board.cells[i] != 0 && board.cells[i] != static_cast<core::Cell>(i + 1));
  }
  return board;
}

TEST(MoveBatch, VectorAndPortablePassesAgreeOnRandomBatches) {
  std::mt19937_64 rng(0x9a7'0006);
  const core::StepTable steps = letter_steps();
  std::size_t stopped = 0;
  for (int round = 0; round < 4000; ++round) {
    // Mostly small boards, where batches often solve them; now and then a
    // larger one, whose path runs far from the goal's corner.
    const std::size_t side = round % 100 == 99 ? 500 + rng() % 600 : 1 + rng() % (round % 2 == 0 ? 4 : 40);
    const NearGoal start = near_goal(side, rng() % 40, rng);
    // Characters that move nothing, the way back to the goal, then anything,
    // cut to the batch's length: the goal is reached anywhere in it, or never.
    const std::size_t count = rng() % (MOVE_BATCH + 1);
    std::string codes(rng() % (count + 1), ' ');
    for (char& code : codes) code = "x?1 \x7f\t"[rng() % 6];
    codes += start.way_back;
    if (codes.size() < count) codes += random_codes(count - codes.size(), rng);
    codes.resize(count);
    const bool stop_when_solved = rng() % 4 != 0;
    SCOPED_TRACE("round " + std::to_string(round) + " side " + std::to_string(side) + " misplaced " +
                 std::to_string(start.misplaced) + " codes " + std::to_string(codes.size()) +
                 (stop_when_solved ? " stopping" : ""));

    std::vector<core::Cell> vector_cells = start.cells;
    std::vector<core::Cell> portable_cells = start.cells;
    core::MovingBoard vector_board{vector_cells.data(), side, start.row, start.column, start.misplaced};
    core::MovingBoard portable_board{portable_cells.data(), side, start.row, start.column, start.misplaced};
    const auto* data = reinterpret_cast<const std::uint8_t*>(codes.data());
    const std::size_t played = core::play_batch(vector_board, data, codes.size(), steps, stop_when_solved);
    ASSERT_EQ(played, core::play_batch_portable(portable_board, data, codes.size(), steps, stop_when_solved));
    ASSERT_EQ(vector_board.gap_row, portable_board.gap_row);
    ASSERT_EQ(vector_board.gap_column, portable_board.gap_column);
    ASSERT_EQ(vector_board.misplaced, portable_board.misplaced);
    ASSERT_TRUE(vector_cells == portable_cells);
    stopped += static_cast<std::size_t>(played < codes.size());
  }
  // Enough batches stopped early for the search of the solving code to count.
  EXPECT_GT(stopped, 1000u);
}

// Plays `text` on both the core and the naive model from `board`, checks that
// they agree on the result, the board and the log, and returns the model's log.
std::string expect_same_play(const Rows& board, const std::u32string& text) {
  TarnelCore game = TarnelCore::with_board(board, {});
  test::ReferenceGame model{board, {}};
  const bool expected = model.move_sequence(text);
  EXPECT_EQ(game.move_sequence(test::utf8_of(text)), expected);
  EXPECT_EQ(game.get_tarnel(), model.board);
  EXPECT_EQ(game.get_cmds_str(), model.log);
  EXPECT_EQ(game.is_solved(), model.solved());
  const std::string log = model.log;
  // The next single moves start from the gap the batch left.
  for (const char32_t letter : {U'U', U'L', U'D', U'R'}) EXPECT_EQ(game.move_tile(letter), model.move_tile(letter));
  EXPECT_EQ(game.get_tarnel(), model.board);
  return log;
}

std::u32string widened(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

TEST(MoveBatch, SequencesOfEveryLengthAroundABatchAgreeWithTheModel) {
  std::mt19937_64 rng(0x9a7'0002);
  const std::vector<std::u32string> fillers = {U"UDLRudlr", U"UUUUUUUD", U"LRLRLRLR", U"xUd\u00E9Lr?R\uFB02",
                                               U"ddddrrrr"};
  for (const std::size_t n : {1u, 2u, 3u, 4u, 9u}) {
    for (const std::size_t length : {1u, 7u, 8u, 9u, 255u, 256u, 257u, 511u, 512u, 513u, 1000u}) {
      for (const std::u32string& filler : fillers) {
        SCOPED_TRACE("n " + std::to_string(n) + " length " + std::to_string(length) + " filler " +
                     test::utf8_of(filler));
        std::u32string text;
        while (text.size() < length) text += filler[rng() % filler.size()];
        const auto [board, moved] = test::random_walk(n, 200, rng);
        expect_same_play(board, text);
      }
    }
  }
}

TEST(MoveBatch, TextsThatCrossTheAsciiRunsAgreeWithTheModel) {
  std::mt19937_64 rng(0x9a7'0003);
  for (const std::size_t n : {2u, 3u, 5u}) {
    // Non-ASCII characters at the edges of batches end one run and start another.
    for (const std::size_t at : {0u, 1u, 255u, 256u, 257u, 600u}) {
      std::u32string text;
      for (std::size_t i = 0; i < 700; ++i) text += i == at || i == at + 3 ? U'\uFB02' : U"UDLRudlr"[rng() % 8];
      const auto [board, moved] = test::random_walk(n, 300, rng);
      SCOPED_TRACE("n " + std::to_string(n) + " at " + std::to_string(at));
      expect_same_play(board, text);
    }
  }
  // Longer than the run a sequence plays with one reservation of the log.
  const auto [board, moved] = test::random_walk(3, 300, rng);
  std::u32string text(65'536 + 300, U' ');
  for (char32_t& ch : text) ch = U"UDLRudlr"[rng() % 8];
  expect_same_play(board, text);
}

TEST(MoveBatch, StopsOnTheExactCharacterThatSolves) {
  std::mt19937_64 rng(0x9a7'0004);
  for (const std::size_t n : {2u, 3u, 4u, 6u}) {
    // Where in its batch the solving character falls: first, inside, last, and
    // in the batches after.
    for (const std::size_t solving_at : {0u, 1u, 100u, 254u, 255u, 256u, 257u, 511u, 512u, 900u}) {
      for (int round = 0; round < 6; ++round) {
        const auto [board, moved] = test::random_walk(n, 1 + rng() % std::min<std::size_t>(solving_at + 1, 60), rng);
        if (board == test::goal_rows(n)) continue;
        // Undone from the walk's last visit to the goal, the way back reaches
        // the goal only with its last letter.
        std::size_t last_visit = 0;
        test::ReferenceGame forward{test::goal_rows(n), {}};
        for (std::size_t i = 0; i < moved.size(); ++i) {
          forward.move_tile(static_cast<char32_t>(moved[i]));
          if (forward.solved()) last_visit = i + 1;
        }
        const std::string undo = test::undo_letters(moved.substr(last_visit));
        // Characters that move nothing put that letter exactly at `solving_at`.
        std::string text(solving_at + 1 - undo.size(), '?');
        for (char& ch : text) ch = "x?1 "[rng() % 4];
        text += undo;
        for (std::size_t i = 0; i < 300; ++i) text += "UDLRLRUDLLRRUUDD"[rng() % 16];
        SCOPED_TRACE("n " + std::to_string(n) + " solving at " + std::to_string(solving_at) + " text " + text);
        EXPECT_EQ(expect_same_play(board, widened(text)).size(), solving_at + 1);
      }
    }
  }
}

TEST(MoveBatch, SolvedBoardsStopAfterTheirFirstCharacterUnlessItMoves) {
  for (const std::size_t n : {1u, 2u, 4u}) {
    // The gap of a solved board is in the last cell: D and R are blocked there.
    for (const std::string first : {"D", "r", "x", "U", "l"}) {
      std::string text = first;
      for (int i = 0; i < 300; ++i) text += "DRUL"[i % 4];
      SCOPED_TRACE("n " + std::to_string(n) + " first " + first);
      const std::string log = expect_same_play(test::goal_rows(n), widened(text));
      // Blocked or not a direction: solved still, after that one character.
      if (n == 1 || first == "D" || first == "r" || first == "x") {
        EXPECT_EQ(log.size(), 1u);
      }
    }
  }
  // On one cell every move is blocked: the first character is the last.
  TarnelCore single = TarnelCore::with_board(test::goal_rows(1), {});
  EXPECT_TRUE(single.move_sequence("lrud"));
  EXPECT_EQ(single.get_cmds_str(), "L");
}

TEST(MoveBatch, LargeBoardsReplayTheirLogMoveByMove) {
  std::mt19937_64 rng(0x9a7'0005);
  for (const std::size_t n : {100u, 1000u}) {
    TarnelCore game = TarnelCore::create(n);
    TarnelCore replayed = TarnelCore::with_board(game.get_tarnel(), {});
    // Runs into the edges as well as a random walk.
    std::string text = std::string(n + 10, 'u') + std::string(n + 10, 'L');
    for (std::size_t i = 0; i < 3000; ++i) text += "UDLRudlr"[rng() % 8];
    text += std::string(n + 10, 'd') + std::string(n + 10, 'R');
    ASSERT_FALSE(game.move_sequence(text));
    ASSERT_EQ(game.get_cmds_str().size(), text.size());
    for (const char letter : game.get_cmds_str()) replayed.move_tile(static_cast<char32_t>(letter));
    EXPECT_EQ(game.get_tarnel(), replayed.get_tarnel()) << "n " << n;
    EXPECT_EQ(game.is_solved(), replayed.is_solved());
    // The run down and right leaves the gap in the last cell.
    EXPECT_EQ(game.get_tarnel()[n - 1][n - 1], 0);
  }
}

}  // namespace
}  // namespace vostral
