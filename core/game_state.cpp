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
    index[static_cast<std::size_t>(DIRECTION_OFFSETS[i].letter)] = static_cast<std::uint8_t>(i);
  }
  return index;
}();

// Each ASCII character of a sequence: its upper-case form and the direction
// that form names. ASCII upper-casing is a–z only and never expands.
struct AsciiPlay {
  char upper;
  std::uint8_t direction;
};
constexpr std::array<AsciiPlay, 128> ASCII_PLAY = [] {
  std::array<AsciiPlay, 128> play{};
  for (std::size_t byte = 0; byte < play.size(); ++byte) {
    const std::size_t upper = byte >= 'a' && byte <= 'z' ? byte - ('a' - 'A') : byte;
    play[byte] = {static_cast<char>(upper), DIRECTION_INDEX[upper]};
  }
  return play;
}();

// How many of the first `count` bytes come before the first that is not
// ASCII; eight at a time where it can.
std::size_t ascii_prefix(const unsigned char* text, std::size_t count) noexcept {
  std::size_t at = 0;
  for (; at + 8 <= count; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + at, sizeof word);
    if ((word & 0x8080'8080'8080'8080u) != 0) break;
  }
  while (at < count && text[at] < 0x80) ++at;
  return at;
}

constexpr bool scramble_letters_follow_offsets() {
  for (std::size_t i = 0; i < SCRAMBLE_LETTERS.size(); ++i) {
    if (SCRAMBLE_LETTERS[i] != DIRECTION_OFFSETS[i].letter) return false;
  }
  return true;
}
static_assert(scramble_letters_follow_offsets(), "a scramble draw indexes DIRECTION_OFFSETS directly");

constexpr bool opposites_are_neighbours() {
  for (std::size_t d = 0; d < DIRECTION_OFFSETS.size(); ++d) {
    const DirectionOffset& way = DIRECTION_OFFSETS[d];
    const DirectionOffset& back = DIRECTION_OFFSETS[d ^ 1];
    if (way.row != -back.row || way.column != -back.column) return false;
  }
  return true;
}
static_assert(opposites_are_neighbours(), "the step counts take the opposite of direction d to be d ^ 1");

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

// The one move of the game, shared by single moves and batches: the tile in
// cell `tile` slides into the gap's cell `gap`, and the count of misplaced
// tiles follows it. The cell it leaves is the caller's to clear (a batch
// defers that store). With `tile` == `gap` nothing changes, whatever the cell
// holds, which lets a batch play a blocked move without a branch.
inline void slide_tile(Cell* board, const Cell* goal, std::size_t gap, std::size_t tile,
                       std::size_t& misplaced) noexcept {
  const Cell value = board[tile];
  misplaced += static_cast<std::size_t>(value != goal[gap]);
  misplaced -= static_cast<std::size_t>(value != goal[tile]);
  board[gap] = value;
}

std::size_t step_offset(const DirectionOffset& offset, std::size_t side) noexcept {
  const auto row = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.row));
  const auto column = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.column));
  return row * side + column;  // wraps for negative offsets, as index arithmetic in size_t does
}

void fill_goal(Cell* goal, std::size_t cells) noexcept {
  for (std::size_t i = 0; i + 1 < cells; ++i) goal[i] = static_cast<Cell>(i + 1);
  goal[cells - 1] = 0;
}

}  // namespace

// The moving parts of the state in locals, for a batch of moves.
//
// Where the gap can go is kept as four 16-bit counts in one word, one per
// direction in DIRECTION_OFFSETS order: the steps left up (the row), down,
// left (the column) and right. A step is allowed when its count is not zero;
// it then takes one from that count and gives one to the opposite direction
// (U and D, L and R are neighbours in the table, so the opposite of d is
// d ^ 1). A disallowed step, and NO_MOVE, become an exchange of the gap with
// itself, which changes nothing. Everything is done with masks, without a
// branch: the letters of a scramble or of a random text are unpredictable.
//
// While a Cursor works, the gap's cell may hold a stale value (clearing it
// at every step would add a store that the next step's load must wait for);
// store() writes its 0, so outside a batch the board is exact.
struct TarnelCore::Cursor {
  static constexpr unsigned LANE_BITS = 16;
  static_assert(LARGEST_MODE < (std::uint64_t{1} << LANE_BITS), "a count of steps fits a lane");

  struct Step {
    std::uint64_t lane;   // the count this step needs, as a mask
    std::uint64_t trade;  // one from this direction's count, one to the opposite's
    std::size_t offset;   // added to the gap's index
  };

  static constexpr std::uint64_t lane_one(std::size_t direction) noexcept {
    return std::uint64_t{1} << (LANE_BITS * direction);
  }

  explicit Cursor(TarnelCore& state) noexcept
      : board(state.board_.get()), goal(state.goal_.get()), gap(state.gap()), misplaced(state.misplaced_) {
    const std::size_t last = state.mode_ - 1;
    counts = state.gap_row_ * lane_one(0) + (last - state.gap_row_) * lane_one(1) +
             state.gap_column_ * lane_one(2) + (last - state.gap_column_) * lane_one(3);
    for (std::size_t d = 0; d < DIRECTION_OFFSETS.size(); ++d) {
      steps[d] = {lane_one(d) * 0xFFFFu, lane_one(d ^ 1) - lane_one(d), step_offset(DIRECTION_OFFSETS[d], state.mode_)};
    }
    steps[NO_MOVE] = {0, 0, 0};
  }

  // The steps left upwards and leftwards are the gap's row and column.
  void store(TarnelCore& state) const noexcept {
    board[gap] = 0;
    state.gap_row_ = static_cast<std::size_t>(counts & 0xFFFFu);
    state.gap_column_ = static_cast<std::size_t>((counts >> (2 * LANE_BITS)) & 0xFFFFu);
    state.misplaced_ = misplaced;
  }

  // Moves the gap one step in `direction` (0..3, or NO_MOVE) unless that
  // leaves the board; returns whether a tile moved.
  bool slide(std::uint8_t direction) noexcept {
    const Step& step = steps[direction];
    const std::uint64_t keep = 0 - static_cast<std::uint64_t>((counts & step.lane) != 0);
    counts += step.trade & keep;
    const std::size_t tile = gap + (step.offset & keep);
    slide_tile(board, goal, gap, tile, misplaced);
    gap = tile;
    return keep != 0;
  }

  bool solved() const noexcept { return misplaced == 0; }

  Cell* board;
  const Cell* goal;
  std::uint64_t counts = 0;
  std::size_t gap;
  std::size_t misplaced;
  std::array<Step, NO_MOVE + 1> steps;
};

TarnelCore::TarnelCore(std::size_t mode, Timestamp start_ms, std::unique_ptr<Cell[]> board,
                       std::unique_ptr<Cell[]> goal, std::size_t gap, std::size_t misplaced)
    : start_ms_(start_ms),
      mode_(mode),
      board_(std::move(board)),
      goal_(std::move(goal)),
      gap_row_(gap / mode),
      gap_column_(gap % mode),
      misplaced_(misplaced) {}

TarnelCore TarnelCore::create(std::uint64_t mode) {
  check_side(mode);
  const auto side = static_cast<std::size_t>(mode);
  const std::size_t cells = side * side;
  auto board = std::make_unique_for_overwrite<Cell[]>(cells);
  auto goal = std::make_unique_for_overwrite<Cell[]>(cells);
  fill_goal(goal.get(), cells);
  std::copy_n(goal.get(), cells, board.get());

  // Timed before the scramble, so the elapsed time includes it.
  TarnelCore state(side, runtime::now_ms(), std::move(board), std::move(goal), cells - 1, 0);
  state.scramble();
  return state;
}

TarnelCore TarnelCore::with_board(const Rows& rows, Timestamp start_ms) {
  const std::size_t side = rows.size();
  if (side == 0 || side > LARGEST_MODE) raise_fault("a board needs between 1 and 46340 rows");
  const std::size_t cells = side * side;
  auto board = std::make_unique_for_overwrite<Cell[]>(cells);
  auto goal = std::make_unique_for_overwrite<Cell[]>(cells);
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
  fill_goal(goal.get(), cells);
  return TarnelCore(side, start_ms, std::move(board), std::move(goal), gap, misplaced);
}

void TarnelCore::scramble() {
  std::array<std::uint8_t, SCRAMBLE_MOVES> draws;
  runtime::draw_below_4(draws);
  char* letters = cmds_.room(SCRAMBLE_MOVES);
  Cursor cursor(*this);
  for (std::size_t i = 0; i < SCRAMBLE_MOVES; ++i) {
    // Logged whether or not the move is blocked, as move_tile would.
    letters[i] = SCRAMBLE_LETTERS[draws[i]];
    cursor.slide(draws[i]);
  }
  cursor.store(*this);
  cmds_.commit(SCRAMBLE_MOVES);
}

std::optional<char32_t> TarnelCore::move_tile(char32_t direction) {
  if (!is_scalar_value(direction)) raise_fault("move_tile needs a Unicode scalar value");
  // Log first: blocked moves and other characters are recorded too. If the
  // log cannot grow, nothing has changed.
  char bytes[4];
  cmds_.append(bytes, encode_utf8(direction, bytes));
  const std::uint8_t index = direction < DIRECTION_INDEX.size() ? DIRECTION_INDEX[direction] : NO_MOVE;
  if (index == NO_MOVE) return std::nullopt;
  // One move alone: a plain test for the edge is cheaper than setting up a
  // Cursor, and this branch is as predictable as the caller's letters.
  const DirectionOffset& offset = DIRECTION_OFFSETS[index];
  const std::size_t row = gap_row_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.row));
  const std::size_t column = gap_column_ + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset.column));
  if (row >= mode_ || column >= mode_) return std::nullopt;
  const std::size_t tile = row * mode_ + column;
  slide_tile(board_.get(), goal_.get(), gap(), tile, misplaced_);
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
  const std::size_t run = ascii_prefix(text, count);
  char* letters = cmds_.room(run);
  Cursor cursor(*this);
  const auto play = [&](std::size_t at) noexcept {
    const AsciiPlay letter = ASCII_PLAY[text[at]];
    letters[at] = letter.upper;
    cursor.slide(letter.direction);
  };
  std::size_t played = 0;
  solved = false;
  while (played < run) {
    // One move puts at most one tile in place, so the next misplaced - 1
    // letters cannot solve the board: they are played without the test.
    const std::size_t unsolvable = cursor.misplaced > 1 ? cursor.misplaced - 1 : 0;
    for (const std::size_t end = played + std::min(run - played, unsolvable); played < end; ++played) play(played);
    if (played == run) break;
    play(played++);
    if (cursor.solved()) {
      solved = true;
      break;
    }
  }
  cursor.store(*this);
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
