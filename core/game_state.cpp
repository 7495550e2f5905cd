#include "core/game_state.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "core/upper_case.hpp"
#include "core/utf8.hpp"
#include "runtime/clock.hpp"
#include "runtime/fault.hpp"
#include "runtime/thread_rng.hpp"

namespace vostral::core {
namespace {

using runtime::raise_fault;

// DIRECTION_OFFSETS index of each ASCII character, -1 for the non-directions.
constexpr std::array<std::int8_t, 128> DIRECTION_INDEX = [] {
  std::array<std::int8_t, 128> index{};
  index.fill(-1);
  for (std::size_t i = 0; i < DIRECTION_OFFSETS.size(); ++i) {
    index[static_cast<std::size_t>(DIRECTION_OFFSETS[i].letter)] = static_cast<std::int8_t>(i);
  }
  return index;
}();

constexpr bool scramble_letters_follow_offsets() {
  for (std::size_t i = 0; i < SCRAMBLE_LETTERS.size(); ++i) {
    if (SCRAMBLE_LETTERS[i] != DIRECTION_OFFSETS[i].letter) return false;
  }
  return true;
}
static_assert(scramble_letters_follow_offsets(), "a scramble draw indexes DIRECTION_OFFSETS directly");

// A sequence reserves the log for its byte length, which is exact for ASCII
// text; beyond this bound the log grows as it fills instead, so a huge text
// that is solved early does not hold a huge buffer.
constexpr std::size_t MAX_LOG_RESERVE = std::size_t{64} << 20;

std::string decimal(u128 value) {
  char digits[40];
  std::size_t at = sizeof digits;
  do {
    digits[--at] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  return std::string(digits + at, sizeof digits - at);
}

void check_side(std::uint64_t mode) {
  // The first two keep the messages that callers already match on; the third
  // stops sides whose tile numbers would not fit in 32 bits.
  if (mode == 0) raise_fault("index out of bounds: the len is 0 but the index is 18446744073709551615");
  if (mode >= (std::uint64_t{1} << 61)) raise_fault("capacity overflow");
  if (mode > LARGEST_MODE) {
    raise_fault("mode " + std::to_string(mode) + " is too large: the largest board side is " +
                std::to_string(LARGEST_MODE));
  }
}

}  // namespace

TarnelCore::TarnelCore(std::uint64_t mode, u128 start_ms, std::unique_ptr<Cell[]> board,
                       std::unique_ptr<Cell[]> goal)
    : start_ms_(start_ms),
      mode_(mode),
      board_(std::move(board)),
      goal_(std::move(goal)),
      side_(static_cast<std::size_t>(mode)),
      gap_row_(side_ - 1),
      gap_column_(side_ - 1),
      mismatches_(0) {}

TarnelCore TarnelCore::create(std::uint64_t mode) {
  check_side(mode);
  const auto cells = static_cast<std::size_t>(mode * mode);
  auto board = std::make_unique_for_overwrite<Cell[]>(cells);
  auto goal = std::make_unique_for_overwrite<Cell[]>(cells);
  for (std::size_t i = 0; i + 1 < cells; ++i) goal[i] = static_cast<Cell>(i + 1);
  goal[cells - 1] = 0;
  std::copy_n(goal.get(), cells, board.get());

  // Timed before the scramble, so the elapsed time includes it.
  TarnelCore state(mode, runtime::now_ms(), std::move(board), std::move(goal));
  state.scramble();
  return state;
}

TarnelCore TarnelCore::with_board(const Rows& rows, u128 start_ms) {
  const std::size_t side = rows.size();
  if (side == 0 || side > LARGEST_MODE) raise_fault("a board needs between 1 and 46340 rows");
  const std::size_t cells = side * side;
  auto board = std::make_unique_for_overwrite<Cell[]>(cells);
  auto goal = std::make_unique_for_overwrite<Cell[]>(cells);
  std::vector<bool> seen(cells, false);
  std::size_t gap = 0;
  for (std::size_t r = 0; r < side; ++r) {
    if (rows[r].size() != side) raise_fault("a board must be square");
    for (std::size_t c = 0; c < side; ++c) {
      const Cell value = rows[r][c];
      if (value < 0 || static_cast<std::size_t>(value) >= cells || seen[static_cast<std::size_t>(value)]) {
        raise_fault("a board must hold each of 0 to n*n-1 exactly once");
      }
      seen[static_cast<std::size_t>(value)] = true;
      if (value == 0) gap = r * side + c;
      board[r * side + c] = value;
    }
  }
  for (std::size_t i = 0; i + 1 < cells; ++i) goal[i] = static_cast<Cell>(i + 1);
  goal[cells - 1] = 0;

  TarnelCore state(side, start_ms, std::move(board), std::move(goal));
  state.gap_row_ = gap / side;
  state.gap_column_ = gap % side;
  state.mismatches_ = 0;
  for (std::size_t i = 0; i < cells; ++i) state.mismatches_ += state.board_[i] != state.goal_[i] ? 1u : 0u;
  return state;
}

void TarnelCore::scramble() {
  std::array<std::uint8_t, SCRAMBLE_MOVES> draws;
  runtime::draw_below_4(draws);
  cmds_.reserve(cmds_.size() + SCRAMBLE_MOVES);
  for (const std::uint8_t draw : draws) {
    // Logged whether or not the move is blocked, as move_tile would.
    cmds_.push_back(SCRAMBLE_LETTERS[draw]);
    step(DIRECTION_OFFSETS[draw]);
  }
}

bool TarnelCore::step(const DirectionOffset& offset) noexcept {
  // Unsigned wrap-around turns "row -1" into a value no smaller than side_,
  // so one comparison per axis finds every blocked move.
  const std::size_t row = gap_row_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.row));
  const std::size_t column =
      gap_column_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.column));
  if (row >= side_ || column >= side_) return false;

  const std::size_t gap = gap_row_ * side_ + gap_column_;
  const std::size_t tile = row * side_ + column;
  const Cell value = board_[tile];
  const std::size_t wrong_before =
      static_cast<std::size_t>(goal_[gap] != 0) + static_cast<std::size_t>(goal_[tile] != value);
  const std::size_t wrong_after =
      static_cast<std::size_t>(goal_[gap] != value) + static_cast<std::size_t>(goal_[tile] != 0);
  board_[gap] = value;
  board_[tile] = 0;
  mismatches_ = mismatches_ + wrong_after - wrong_before;
  gap_row_ = row;
  gap_column_ = column;
  return true;
}

void TarnelCore::play(char32_t ch) noexcept {
  if (ch < DIRECTION_INDEX.size()) {
    if (const std::int8_t index = DIRECTION_INDEX[ch]; index >= 0) {
      step(DIRECTION_OFFSETS[static_cast<std::size_t>(index)]);
    }
  }
}

std::optional<char32_t> TarnelCore::move_tile(char32_t direction) {
  if (!is_scalar_value(direction)) raise_fault("move_tile needs a Unicode scalar value");
  // Log first: blocked moves and other characters are recorded too. If the
  // log cannot grow, nothing has changed.
  append_utf8(cmds_, direction);
  if (direction < DIRECTION_INDEX.size()) {
    if (const std::int8_t index = DIRECTION_INDEX[direction];
        index >= 0 && step(DIRECTION_OFFSETS[static_cast<std::size_t>(index)])) {
      return direction;
    }
  }
  return std::nullopt;
}

void TarnelCore::clear_log_for(std::size_t text_bytes) {
  const std::size_t wanted = std::min(text_bytes, MAX_LOG_RESERVE);
  const std::size_t generous = std::max(wanted, std::size_t{4096}) * 4;
  if (cmds_.capacity() >= wanted && cmds_.capacity() <= generous) {
    cmds_.clear();
    return;
  }
  // A fresh buffer either way: too small to take the text in one go, or far
  // larger than it (left by an earlier long text). Allocated before the old
  // log goes, so running out of memory here changes nothing.
  std::string fresh;
  fresh.reserve(wanted);
  cmds_.swap(fresh);
}

bool TarnelCore::move_sequence(std::string_view utf8) {
  clear_log_for(utf8.size());
  const char* const data = utf8.data();
  const std::size_t size = utf8.size();
  std::size_t at = 0;
  while (at < size) {
    const auto byte = static_cast<unsigned char>(data[at]);
    if (byte < 0x80) {
      // ASCII: upper-casing is a–z only, and a letter never expands.
      const auto ch = static_cast<unsigned char>(byte >= 'a' && byte <= 'z' ? byte - 0x20 : byte);
      cmds_.push_back(static_cast<char>(ch));
      if (const std::int8_t index = DIRECTION_INDEX[ch]; index >= 0) {
        step(DIRECTION_OFFSETS[static_cast<std::size_t>(index)]);
      }
      ++at;
      if (mismatches_ == 0) return true;
      continue;
    }
    const char32_t ch = decode_utf8(utf8, at);
    if (ch == INVALID_UTF8) raise_fault("move_sequence needs well-formed UTF-8 text");
    // Each character of the upper-case form is a move of its own, with its
    // own solved test: U+FB02 plays F, then L.
    const UpperMapping upper = upper_case(ch);
    for (std::size_t i = 0; i < upper.count; ++i) {
      append_utf8(cmds_, upper.chars[i]);
      play(upper.chars[i]);
      if (mismatches_ == 0) return true;
    }
  }
  return false;
}

Rows TarnelCore::get_tarnel() const {
  Rows rows(side_);
  for (std::size_t r = 0; r < side_; ++r) {
    const Cell* row = board_.get() + r * side_;
    rows[r].assign(row, row + side_);
  }
  return rows;
}

std::string TarnelCore::duration() const { return elapsed_text(start_ms_, runtime::now_ms()); }

std::string elapsed_text(u128 start_ms, u128 now_ms) {
  const u128 elapsed = now_ms > start_ms ? now_ms - start_ms : 0;
  const u128 hours = elapsed / 3'600'000;
  const auto minutes = static_cast<unsigned>(elapsed % 3'600'000 / 60'000);
  const auto seconds = static_cast<unsigned>(elapsed % 60'000 / 1000);
  return decimal(hours) + ':' + std::to_string(minutes) + ':' + std::to_string(seconds);
}

}  // namespace vostral::core
