#pragma once

// The plain floor of creating a game: the same work as creation written as a
// straightforward loop. Two n x n boards allocated and filled, the wall clock
// read, then 1000 random moves from a simple generator, each letter logged.
// Shared by the C++ core timings and the floor module.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vostral::bench {

struct PlainGame {
  std::unique_ptr<std::int32_t[]> board;
  std::unique_ptr<std::int32_t[]> goal;
  std::size_t side = 0;
  std::int64_t start_ms = 0;
  char log[1000];
};

inline constexpr std::ptrdiff_t PLAIN_ROW_STEP[4] = {-1, +1, 0, 0};
inline constexpr std::ptrdiff_t PLAIN_COLUMN_STEP[4] = {0, 0, -1, +1};

// `branch_free` takes a blocked step as a step in place instead of skipping
// it, which leaves nothing to mispredict: the faster of the two.
template <bool branch_free>
void plain_create(PlainGame& game, std::size_t side) {
  static thread_local std::uint64_t generator = 0x9E3779B97F4A7C15u;  // xorshift64
  std::uint64_t state = generator;
  const std::size_t cells = side * side;
  game.board = std::make_unique_for_overwrite<std::int32_t[]>(cells);
  game.goal = std::make_unique_for_overwrite<std::int32_t[]>(cells);
  game.side = side;
  for (std::size_t i = 0; i < cells; ++i) game.board[i] = game.goal[i] = static_cast<std::int32_t>(i + 1);
  game.board[cells - 1] = game.goal[cells - 1] = 0;
  game.start_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  std::int32_t* const board = game.board.get();
  std::size_t row = side - 1;
  std::size_t column = side - 1;
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < sizeof game.log; ++i, bits <<= 2) {
    if (i % 32 == 0) {  // 32 two-bit draws from each output, as the game takes them
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      bits = state;
    }
    const auto draw = static_cast<std::size_t>(bits >> 62);
    game.log[i] = "UDLR"[draw];
    // A step off the board wraps to a huge index.
    std::size_t to_row = row + static_cast<std::size_t>(PLAIN_ROW_STEP[draw]);
    std::size_t to_column = column + static_cast<std::size_t>(PLAIN_COLUMN_STEP[draw]);
    const bool inside = to_row < side && to_column < side;
    if constexpr (!branch_free) {
      if (!inside) continue;
    }
    to_row = inside ? to_row : row;
    to_column = inside ? to_column : column;
    // In place, the gap's 0 is copied onto itself.
    board[row * side + column] = board[to_row * side + to_column];
    board[to_row * side + to_column] = 0;
    row = to_row;
    column = to_column;
  }
  generator = state;
}

}  // namespace vostral::bench
