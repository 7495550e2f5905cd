#include "core/game_state.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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

// Direction indices: 0..3 are the entries of DIRECTION_OFFSETS, NO_MOVE is a
// step of zero (a character that is no direction).
constexpr std::uint8_t NO_MOVE = 4;

// Direction index of each ASCII character taken as it is (what move_tile sees).
constexpr std::array<std::uint8_t, 128> DIRECTION_INDEX = [] {
  std::array<std::uint8_t, 128> index{};
  index.fill(NO_MOVE);
  for (std::size_t i = 0; i < DIRECTION_OFFSETS.size(); ++i) {
    index[static_cast<unsigned char>(DIRECTION_OFFSETS[i].letter)] = static_cast<std::uint8_t>(i);
  }
  return index;
}();

// The step of each ASCII character of a sequence, which plays its upper-case
// form (ASCII upper-casing is a–z only and never expands), and of each
// scramble draw.
constexpr PackedStep step_of(std::uint8_t direction) noexcept {
  return direction == NO_MOVE ? 0 : pack_step(DIRECTION_OFFSETS[direction].row, DIRECTION_OFFSETS[direction].column);
}
constexpr StepTable ASCII_STEPS = [] {
  StepTable steps{};
  for (std::size_t byte = 0; byte < steps.size(); ++byte) {
    steps[byte] = step_of(DIRECTION_INDEX[static_cast<unsigned char>(ascii_upper(static_cast<unsigned char>(byte)))]);
  }
  return steps;
}();
constexpr StepTable DRAW_STEPS = [] {
  StepTable steps{};
  for (std::size_t draw = 0; draw < SCRAMBLE_LETTERS.size(); ++draw) {
    steps[draw] = step_of(static_cast<std::uint8_t>(draw));
  }
  return steps;
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
// ASCII is played in runs of at most this many bytes, each with its log room
// made before any of its moves, so running out of memory never splits a move
// from its letter.
constexpr std::size_t ASCII_BATCH = std::size_t{1} << 16;

// Writes `value` in decimal ending just before `end`; returns where it starts.
char* decimal_before(char* end, std::uint64_t value) noexcept {
  do {
    *--end = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  return end;
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

// The solved arrangement: cell i holds tile i + 1, the last cell the gap.
void fill_goal(Cell* board, std::size_t cells) noexcept {
  for (std::size_t i = 0; i + 1 < cells; ++i) board[i] = static_cast<Cell>(i + 1);
  board[cells - 1] = 0;
}

}  // namespace

TarnelCore::TarnelCore(std::size_t mode, Timestamp start_ms, std::unique_ptr<Cell[]> board, std::size_t gap,
                       std::size_t misplaced)
    : start_ms_(start_ms),
      mode_(mode),
      board_(std::move(board)),
      gap_row_(gap / mode),
      gap_column_(gap % mode),
      misplaced_(misplaced) {}

TarnelCore TarnelCore::create(std::uint64_t mode) {
  check_side(mode);
  const auto side = static_cast<std::size_t>(mode);
  const std::size_t cells = side * side;
  auto board = std::make_unique_for_overwrite<Cell[]>(cells);
  fill_goal(board.get(), cells);

  // Timed before the scramble, so the elapsed time includes it.
  TarnelCore state(side, runtime::now_ms(), std::move(board), cells - 1, 0);
  state.scramble();
  return state;
}

TarnelCore TarnelCore::with_board(const Rows& rows, Timestamp start_ms) {
  const std::size_t side = rows.size();
  if (side == 0 || side > LARGEST_MODE) raise_fault("a board needs between 1 and 46340 rows");
  const std::size_t cells = side * side;
  auto board = std::make_unique_for_overwrite<Cell[]>(cells);
  std::vector<bool> seen(cells, false);
  std::size_t gap = 0;
  std::size_t misplaced = 0;
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
      misplaced += static_cast<std::size_t>(value != 0 && static_cast<std::size_t>(value) != r * side + c + 1);
    }
  }
  return TarnelCore(side, start_ms, std::move(board), gap, misplaced);
}

void TarnelCore::scramble() {
  std::array<std::uint8_t, SCRAMBLE_MOVES> draws;
  runtime::draw_below_4(draws);
  char* letters = cmds_.room(SCRAMBLE_MOVES);
  // Logged whether or not the move is blocked, as move_tile would.
  // Selects rather than a table lookup, so that the loop vectorises.
  for (std::size_t i = 0; i < SCRAMBLE_MOVES; ++i) {
    const std::uint8_t draw = draws[i];
    letters[i] = draw == 0   ? SCRAMBLE_LETTERS[0]
                 : draw == 1 ? SCRAMBLE_LETTERS[1]
                 : draw == 2 ? SCRAMBLE_LETTERS[2]
                             : SCRAMBLE_LETTERS[3];
  }
  MovingBoard board{board_.get(), mode_, gap_row_, gap_column_, misplaced_};
  for (std::size_t at = 0; at < SCRAMBLE_MOVES; at += MOVE_BATCH) {
    play_batch(board, draws.data() + at, std::min(MOVE_BATCH, SCRAMBLE_MOVES - at), DRAW_STEPS, false);
  }
  gap_row_ = board.gap_row;
  gap_column_ = board.gap_column;
  misplaced_ = board.misplaced;
  cmds_.commit(SCRAMBLE_MOVES);
}

std::optional<char32_t> TarnelCore::move_tile(char32_t direction) {
  if (!is_scalar_value(direction)) raise_fault("move_tile needs a Unicode scalar value");
  // Log first: blocked moves and other characters are recorded too. If the
  // log cannot grow, nothing has changed.
  if (direction < 0x80) {
    cmds_.push(static_cast<char>(direction));
  } else {
    char bytes[4];
    cmds_.append(bytes, encode_utf8(direction, bytes));
  }
  const std::uint8_t index = direction < DIRECTION_INDEX.size() ? DIRECTION_INDEX[direction] : NO_MOVE;
  if (index == NO_MOVE) return std::nullopt;
  // One move alone: a plain test for the edge, as predictable as the
  // caller's letters.
  const DirectionOffset& offset = DIRECTION_OFFSETS[index];
  const std::size_t row = gap_row_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.row));
  const std::size_t column = gap_column_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.column));
  if (row >= mode_ || column >= mode_) return std::nullopt;
  const std::size_t gap = gap_row_ * mode_ + gap_column_;
  const std::size_t tile = row * mode_ + column;
  // A tile is at home in cell i when it is numbered i + 1. The goal's gap
  // cell (the last) is home to no tile: its number, n * n, is none's.
  const auto value = static_cast<std::size_t>(board_[tile]);
  misplaced_ += static_cast<std::size_t>(value != gap + 1);
  misplaced_ -= static_cast<std::size_t>(value != tile + 1);
  board_[gap] = static_cast<Cell>(value);
  board_[tile] = 0;
  gap_row_ = row;
  gap_column_ = column;
  return direction;
}

void TarnelCore::clear_log_for(std::size_t text_bytes) {
  const std::size_t wanted = std::min(text_bytes, MAX_LOG_RESERVE);
  const std::size_t generous = std::max(wanted, std::size_t{4096}) * 4;
  if (cmds_.capacity() >= wanted && cmds_.capacity() <= generous) {
    cmds_.clear();
    return;
  }
  // Too small to take the text in one go, or far larger than it (left by an
  // earlier long text): a fresh buffer, allocated before the old log goes.
  cmds_.reset(wanted);
}

std::size_t TarnelCore::play_ascii(const unsigned char* text, std::size_t count, bool& solved) {
  // Room for every byte: the run is found while its letters are written.
  const std::size_t run = upper_ascii_prefix(text, count, cmds_.room(count));
  MovingBoard board{board_.get(), mode_, gap_row_, gap_column_, misplaced_};
  std::size_t played = 0;
  solved = false;
  while (played < run && !solved) {
    // A batch whose codes bring fewer tiles home than are misplaced cannot
    // solve the board and skips the search for the solving code. About one
    // code in ten brings a tile home on a small board, so batches stay
    // shorter than eight per misplaced tile.
    const std::size_t batch = std::clamp(board.misplaced * 8, std::size_t{8}, MOVE_BATCH);
    played += play_batch(board, text + played, std::min(batch, run - played), ASCII_STEPS, true);
    // A batch stops at the first code that leaves the board solved, and only there.
    solved = board.misplaced == 0;
  }
  gap_row_ = board.gap_row;
  gap_column_ = board.gap_column;
  misplaced_ = board.misplaced;
  cmds_.commit(played);
  return played;
}

bool TarnelCore::move_sequence(std::string_view utf8) {
  clear_log_for(utf8.size());
  const auto* text = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t size = utf8.size();
  std::size_t at = 0;
  while (at < size) {
    if (text[at] < 0x80) {
      bool solved = false;
      at += play_ascii(text + at, std::min(size - at, ASCII_BATCH), solved);
      if (solved) return true;
      continue;
    }
    const char32_t ch = decode_utf8(utf8, at);
    if (ch == INVALID_UTF8) raise_fault("move_sequence needs well-formed UTF-8 text");
    // Each character of the upper-case form is played on its own, exactly
    // as move_tile plays it, with its own solved test: U+FB02 plays F, then L.
    const UpperMapping upper = upper_case(ch);
    for (std::size_t i = 0; i < upper.count; ++i) {
      move_tile(upper.chars[i]);
      if (is_solved()) return true;
    }
  }
  return false;
}

Rows TarnelCore::get_tarnel() const {
  Rows rows(mode_);
  for (std::size_t r = 0; r < mode_; ++r) {
    const Cell* row = board_.get() + r * mode_;
    rows[r].assign(row, row + mode_);
  }
  return rows;
}

ElapsedText TarnelCore::duration() const { return elapsed_text(start_ms_, runtime::now_ms()); }

ElapsedText elapsed_text(Timestamp start_ms, Timestamp now_ms) noexcept {
  // Only whole seconds are shown, so the milliseconds matter only for a
  // borrow: from x.900 to y.100 is y - x - 1 whole seconds.
  std::uint64_t seconds = 0;
  if (now_ms > start_ms) {
    seconds = now_ms.seconds() - start_ms.seconds();
    if (now_ms.milliseconds() < start_ms.milliseconds()) --seconds;
  }
  // Written backwards from the end of the buffer.
  ElapsedText text;
  char* const end = text.chars_ + sizeof text.chars_;
  char* at = decimal_before(end, seconds % 60);
  *--at = ':';
  at = decimal_before(at, seconds % 3600 / 60);
  *--at = ':';
  at = decimal_before(at, seconds / 3600);
  text.start_ = static_cast<std::uint8_t>(at - text.chars_);
  return text;
}

}  // namespace vostral::core
