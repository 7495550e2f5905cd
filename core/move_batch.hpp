#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vostral::core {

using Cell = std::int32_t;

// Plays many moves at once, in three passes over a batch of at most
// MOVE_BATCH codes:
//   1. the gap's path: its row and its column are two independent walks, and
//      a blocked step is a clamp to the edge, so the cell the gap occupies
//      after every code follows from the codes alone, without the board;
//   2. the board: along that known path each tile slides into the gap;
//   3. the count of misplaced tiles: each slide changes it by -1, 0 or +1,
//      summed afterwards, and where the board may come out solved a running
//      minimum finds the first code that solves it.
// No pass waits on a branch over the board, and only the first carries a
// dependency from one code to the next (two instructions long).
inline constexpr std::size_t MOVE_BATCH = 512;

// A code's step, row and column offsets packed as two 16-bit lanes (row in
// the low one); 0 for a code that moves nothing.
using PackedStep = std::uint32_t;
constexpr PackedStep pack_step(std::int32_t row, std::int32_t column) noexcept {
  return static_cast<PackedStep>(static_cast<std::uint16_t>(row)) |
         static_cast<PackedStep>(static_cast<std::uint16_t>(column)) << 16;
}
// Indexed by code: the ASCII characters of a text, or a scramble's draws.
using StepTable = std::array<PackedStep, 128>;

// The board and the parts of the game state that moves change. Outside a
// call the gap's cell holds 0.
struct MovingBoard {
  Cell* cells;
  std::size_t side;
  std::size_t gap_row;
  std::size_t gap_column;
  std::size_t misplaced;  // tiles (not the gap) whose cell differs from the goal
};

// Plays codes[0..count) (count <= MOVE_BATCH, every code below 128) with the
// steps of `steps`; a step off the board is blocked and changes nothing.
// With `stop_when_solved`, stops after the first code that leaves the board
// solved. Returns the number of codes played.
std::size_t play_batch(MovingBoard& board, const std::uint8_t* codes, std::size_t count, const StepTable& steps,
                       bool stop_when_solved) noexcept;
// play_batch with the portable passes alone, as a processor without a vector
// unit runs it; exposed so that tests and benchmarks can hold the two against
// each other.
std::size_t play_batch_portable(MovingBoard& board, const std::uint8_t* codes, std::size_t count,
                                const StepTable& steps, bool stop_when_solved) noexcept;

// The gap's path alone (pass 1): for each code, 1 + the index of the gap's
// cell after it, written to homes[0..count). The +1 makes it the number of
// the tile that belongs in that cell. Moves the row and column to the end.
// gap_path picks the vector version where the board allows; the portable one
// is exposed so that tests can hold the two against each other.
void gap_path(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side, std::size_t& row,
              std::size_t& column, std::uint32_t* homes) noexcept;
void gap_path_portable(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side,
                       std::size_t& row, std::size_t& column, std::uint32_t* homes) noexcept;

}  // namespace vostral::core
