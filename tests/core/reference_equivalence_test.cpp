#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/game_state.hpp"
#include "reference_game.hpp"

namespace vostral {
namespace {

using core::TarnelCore;

// What a player might type: direction letters of either case most often, then
// characters that are logged but move nothing, that change length when
// upper-cased (é, ß, U+0390 -> three), that expand into a direction letter
// (ﬂ, ﬄ), that grow in bytes (ɐ), and ones that need four bytes.
char32_t random_char(std::mt19937_64& rng) {
  static constexpr char32_t LETTERS[] = {U'U', U'D', U'L', U'R', U'u', U'd', U'l', U'r'};
  static constexpr char32_t OTHERS[] = {
      U'a',      U'z',      U'0',      U' ',      U'\0',     U'\u00E9',     U'\u00DF',     U'\uFB02', U'\uFB04',
      U'\u0390', U'\u0250', U'\u0131', U'\u017F', U'\u0149', U'\U0001F600', U'\U0010FFFF', U'\u00FF',
  };
  if (rng() % 10 < 8) return LETTERS[rng() % std::size(LETTERS)];
  return OTHERS[rng() % std::size(OTHERS)];
}

std::u32string random_text(std::mt19937_64& rng, std::size_t length) {
  std::u32string text;
  for (std::size_t i = 0; i < length; ++i) text += random_char(rng);
  return text;
}

// Letters that lead back to the goal, in mixed case and with harmless
// characters in between, followed by a tail that must never be played.
std::u32string solving_text(std::mt19937_64& rng, const std::string& undo) {
  std::u32string text;
  for (const char letter : undo) {
    if (rng() % 5 == 0) text += U"x\u00E9\U0001F600"[rng() % 3];
    text += static_cast<char32_t>(rng() % 2 == 0 ? letter : letter + ('a' - 'A'));
  }
  return text + random_text(rng, 20);
}

// Folds newly moved letters into the shortest record of the way from the
// goal: a letter that undoes the previous one cancels it.
void extend_path(std::string& path, const std::string& moved, std::size_t& folded) {
  for (; folded < moved.size(); ++folded) {
    const std::string undo = test::undo_letters(std::string(1, moved[folded]));
    if (!path.empty() && path.back() == undo[0]) {
      path.pop_back();
    } else {
      path.push_back(moved[folded]);
    }
  }
}

TEST(ReferenceEquivalence, CoreAgreesWithTheNaiveModelAfterEveryCall) {
  constexpr std::uint64_t SEED = 0x7a11e5'2024'0517;
  int solved_by_sequence = 0;
  for (std::size_t n = 1; n <= 7; ++n) {
    std::mt19937_64 rng(SEED + n);
    for (int round = 0; round < 6; ++round) {
      const auto [board, walk] = test::random_walk(n, rng() % 400, rng);
      TarnelCore game = TarnelCore::with_board(board, {});
      test::ReferenceGame model{board, {}};
      std::string path = walk;
      std::size_t folded = 0;
      for (int step = 0; step < 150; ++step) {
        SCOPED_TRACE("seed " + std::to_string(SEED + n) + " n " + std::to_string(n) + " round " +
                     std::to_string(round) + " step " + std::to_string(step));
        const std::uint64_t kind = rng() % 10;
        if (kind < 5) {
          const char32_t ch = random_char(rng);
          const std::optional<char32_t> expected = model.move_tile(ch);
          ASSERT_EQ(game.move_tile(ch), expected) << "character " << static_cast<std::uint32_t>(ch);
        } else {
          const std::size_t length = kind < 7 ? rng() % 9 : kind == 7 ? rng() % 300 : rng() % 3000;
          const std::u32string text =
              kind == 9 ? solving_text(rng, test::undo_letters(path)) : random_text(rng, length);
          const bool expected = model.move_sequence(text);
          ASSERT_EQ(game.move_sequence(test::utf8_of(text)), expected) << test::utf8_of(text);
          if (expected && n > 1) ++solved_by_sequence;
        }
        extend_path(path, model.moved, folded);
        ASSERT_EQ(game.get_tarnel(), model.board);
        ASSERT_EQ(game.get_cmds_str(), model.log);
        ASSERT_EQ(game.is_solved(), model.solved());
        ASSERT_EQ(game.cmds(), model.log);
        ASSERT_EQ(std::vector<core::Cell>(game.board().begin(), game.board().end()), [&] {
          std::vector<core::Cell> flat;
          for (const auto& row : model.board) flat.insert(flat.end(), row.begin(), row.end());
          return flat;
        }());
      }
    }
  }
  // The solving texts must actually have exercised the early stop.
  EXPECT_GE(solved_by_sequence, 30);
}

}  // namespace
}  // namespace vostral
