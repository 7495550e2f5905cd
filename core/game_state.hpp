#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/directions.hpp"
#include "core/move_batch.hpp"
#include "core/move_log.hpp"
#include "runtime/timestamp.hpp"

namespace vostral::core {

using runtime::Timestamp;
using Rows = std::vector<std::vector<Cell>>;

// Tile numbers are 32-bit: n*n - 1 must stay below 2^31.
inline constexpr std::uint64_t LARGEST_MODE = 46'340;

namespace detail {
constexpr std::size_t decimal_digits(std::uint64_t value) noexcept {
  std::size_t count = 1;
  for (; value >= 10; value /= 10) ++count;
  return count;
}
}  // namespace detail

// Elapsed time as "H:M:S", held inline.
class ElapsedText {
 public:
  std::string_view view() const noexcept { return {chars_ + start_, sizeof chars_ - start_}; }

 private:
  friend ElapsedText elapsed_text(Timestamp start_ms, Timestamp now_ms) noexcept;
  // Two timestamps are less than 2^64 seconds apart: room for those hours,
  // then ":59:59".
  char chars_[detail::decimal_digits(UINT64_MAX / 3600) + 6];
  std::uint8_t start_ = sizeof chars_;
};

// The game state of one n x n sliding-tile game: the board, the side n, the
// log of every character handed to move_tile, and the creation time. The
// solved arrangement is not stored: cell i holds i + 1, the last cell the gap.
//
// Besides the board it keeps the gap's position and the number of tiles that
// are not where the goal has them, both updated by every move, so that a move
// and the solved test cost O(1) while answering exactly what a scan of the
// board and a cell-by-cell comparison would. (With every tile in place the
// gap is necessarily in the last cell.)
//
// Memory: std::bad_alloc may leave any operation that grows the log or makes
// a board. The state is then consistent: board, gap and log agree, and no move
// is half applied; a sequence keeps the moves it played (and logged) before.
class TarnelCore {
 public:
  // A new game of side `mode`: the solved arrangement, timed, then scrambled
  // by SCRAMBLE_MOVES random letters played through move_tile.
  // Faults, each before anything is allocated or the clock is read:
  //   mode 0            "index out of bounds: the len is 0 but the index is 18446744073709551615"
  //   mode >= 2^61      "capacity overflow"
  //   mode > 46340      "mode {n} is too large: the largest board side is 46340"
  // and later from the clock (before 1970) or the entropy source.
  static TarnelCore create(std::uint64_t mode);

  // A game in a chosen arrangement, not scrambled, with an empty log; for
  // tests and tools. Faults unless `rows` is n rows of n cells
  // (1 <= n <= 46340) holding each of 0..n*n-1 once.
  static TarnelCore with_board(const Rows& rows, Timestamp start_ms);

  // Logs `direction`, then moves the gap one step when it is a direction
  // letter and the move is not blocked. Returns `direction` when a tile moved.
  // Faults, changing nothing, when `direction` is not a Unicode scalar value.
  std::optional<char32_t> move_tile(char32_t direction);

  // Empties the log, then plays each character of the upper-cased text through
  // move_tile, testing for the solved board after every one; stops at the
  // first solved board and returns true, or returns false at the end.
  // Faults at the first ill-formed UTF-8 sequence; what came before it stays
  // played and logged.
  bool move_sequence(std::string_view utf8);

  bool is_solved() const noexcept { return misplaced_ == 0; }

  // Copies, which keep their contents whatever the state does next.
  Rows get_tarnel() const;
  std::string get_cmds_str() const { return std::string(cmds_.view()); }
  std::uint64_t get_mode() const noexcept { return mode_; }

  // Time since creation as "H:M:S". Faults when the clock reads before 1970.
  ElapsedText duration() const;

  // Views into the state, for callers that copy once instead of twice: the
  // module copies the board out under its access guard and makes the log's
  // str straight from the view. Valid until the next move.
  std::span<const Cell> board() const noexcept { return {board_.get(), mode_ * mode_}; }
  std::string_view cmds() const noexcept { return cmds_.view(); }

 private:
  TarnelCore(std::size_t mode, Timestamp start_ms, std::unique_ptr<Cell[]> board, std::size_t gap,
             std::size_t misplaced);

  void scramble();
  void clear_log_for(std::size_t text_bytes);
  // Plays ASCII text from text[0] for at most `count` bytes, stopping before
  // a byte that is not ASCII or after the one that left the board solved.
  // Returns the bytes played; `solved` tells which way it stopped.
  std::size_t play_ascii(const unsigned char* text, std::size_t count, bool& solved);

  Timestamp start_ms_;
  // The side n. A size_t, the type every index is computed in: creation
  // refuses sides above LARGEST_MODE, which any size_t holds.
  std::size_t mode_;
  MoveLog cmds_;
  std::unique_ptr<Cell[]> board_;
  // The gap as row and column, from which the edge tests start.
  std::size_t gap_row_;
  std::size_t gap_column_;
  std::size_t misplaced_;  // tiles (not the gap) whose cell differs from the goal
};

// "H:M:S" for the time from `start_ms` to `now_ms`: whole hours without bound,
// minutes and seconds within their unit, no padding, partial seconds dropped.
// A clock set back below `start_ms` reads as "0:0:0".
ElapsedText elapsed_text(Timestamp start_ms, Timestamp now_ms) noexcept;

}  // namespace vostral::core
