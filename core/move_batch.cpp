#include "core/move_batch.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/simd.hpp"

namespace vostral::core {
namespace {

// Homes run one ahead of the codes (homes[0] is the gap before the batch)
// and, like the values, are padded to a whole number of 8-code rounds of the
// misplaced pass.
constexpr std::size_t ROUND = 8;
constexpr std::size_t PADDED_BATCH = MOVE_BATCH + ROUND;

std::int16_t row_step(PackedStep step) noexcept { return static_cast<std::int16_t>(step & 0xFFFFu); }
std::int16_t column_step(PackedStep step) noexcept { return static_cast<std::int16_t>(step >> 16); }

// Pass 2: along the path, the tile in the gap's next cell slides into its
// current one. The cell it leaves keeps a stale copy until the batch ends (the
// gap's cell is written once, at the end). A code that moves nothing gives
// from == to and copies the cell onto itself. values[i] is the value read at
// code i, which pass 3 needs. homes[0] is where the gap starts.
struct Slide {
  Cell* cells;
  const std::uint32_t* homes;
  Cell* values;
  std::size_t from;  // widened before the - 1, which then folds into the addressing

  // Codes i .. i + n - 1.
  template <class Count>
  void operator()(std::size_t i, Count n) noexcept {
    for (std::size_t j = i; j < i + n; ++j) {
      const std::size_t to = homes[j + 1];
      const Cell value = cells[to - 1];
      cells[from - 1] = value;
      values[j] = value;
      from = to;
    }
  }
};

// Pass 3, code i: a tile counts as misplaced unless it holds its cell's home
// number, so sliding value v from home t to home g changes the count by
// [v == t] - [v == g]. A code that moves nothing has t == g and changes
// nothing, whatever the stale value.
int misplaced_change(Cell value, std::uint32_t to, std::uint32_t from) noexcept {
  const auto home = static_cast<std::uint32_t>(value);
  return static_cast<int>(home == to) - static_cast<int>(home == from);
}

// Pass 3 in two parts: the tiles that left their home cell and those that
// reached it, over the whole batch; and, only where these allow the count to
// reach 0, its lowest running change after any code.
struct Changes {
  int departures;
  int arrivals;
};

// The passes as the standard language writes them: what boards wider than
// the vector walk takes, and processors without a vector unit, run.
struct PortablePasses {
  template <class Follow>
  static void walk(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side,
                   std::size_t& row, std::size_t& column, std::uint32_t* homes, Follow&& follow) noexcept {
    gap_path_portable(codes, count, steps, side, row, column, homes);
    follow(0, count);
  }

  static Changes count_changes(const Cell* values, const std::uint32_t* homes, std::size_t count) noexcept {
    Changes changes{0, 0};
    for (std::size_t i = 0; i < count; ++i) {
      changes.departures += static_cast<int>(static_cast<std::uint32_t>(values[i]) == homes[i + 1]);
      changes.arrivals += static_cast<int>(static_cast<std::uint32_t>(values[i]) == homes[i]);
    }
    return changes;
  }

  static int lowest_running(const Cell* values, const std::uint32_t* homes, std::size_t count) noexcept {
    int running = 0;
    int lowest = 0x7FFF;
    for (std::size_t i = 0; i < count; ++i) {
      running += misplaced_change(values[i], homes[i + 1], homes[i]);
      lowest = std::min(lowest, running);
    }
    return lowest;
  }
};

#if VOSTRAL_SIMD

// The pass-1 walk, both lanes at once. Row and column are held biased so that
// the last row or column is 32767: a step down or right saturates there by
// itself, and a step up or left is held at the first by a maximum. Two
// instructions per code carry the dependency from one code to the next.
//
// follow(i, n) runs as soon as homes[i..i+n) are written: the board pass
// goes along in the same loop, where its loads and stores fill the issue
// slots that the walk's dependency chain leaves idle.
template <class Follow>
void walk_vector(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side,
                 std::size_t& row, std::size_t& column, std::uint32_t* homes, Follow&& follow) noexcept {
  using namespace simd;
  const int bias = 32767 - static_cast<int>(side - 1);
  Vec gap = from_u32(pack_step(static_cast<int>(row) + bias, static_cast<int>(column) + bias));
  const Vec first = splat_i16(static_cast<std::int16_t>(bias));
  // (row, column) . (side, 1) is the cell index plus bias * (side + 1).
  const Vec weights = splat_i32(static_cast<int>(side) | (1 << 16));
  const Vec to_home = splat_i32(bias * static_cast<int>(side) + bias - 1);
  const auto step = [&](std::uint8_t code) noexcept {
    gap = max_i16(add_saturated_i16(gap, from_u32(steps[code])), first);
    return gap;
  };
  const auto four_steps = [&](std::size_t i) noexcept {
    const Vec a = step(codes[i]);
    const Vec b = step(codes[i + 1]);
    const Vec c = step(codes[i + 2]);
    const Vec d = step(codes[i + 3]);
    const Vec four = interleave_low_i64(interleave_low_i32(a, b), interleave_low_i32(c, d));
    store(homes + i, sub_i32(multiply_add_pairs_i16(four, weights), to_home));
  };
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    four_steps(i);
    four_steps(i + 4);
    follow(i, std::integral_constant<std::size_t, 8>{});
  }
  for (; i + 4 <= count; i += 4) {
    four_steps(i);
    follow(i, std::integral_constant<std::size_t, 4>{});
  }
  for (; i < count; ++i) {
    homes[i] = to_u32(sub_i32(multiply_add_pairs_i16(step(codes[i]), weights), to_home));
    follow(i, std::integral_constant<std::size_t, 1>{});
  }
  row = (to_u32(gap) & 0xFFFF) - static_cast<std::size_t>(bias);
  column = (to_u32(gap) >> 16) - static_cast<std::size_t>(bias);
}

// Over whole rounds of 8 codes; a lane that compares equal holds -1, hence
// the subtractions.
Changes count_changes_vector(const Cell* values, const std::uint32_t* homes, std::size_t rounds) noexcept {
  using namespace simd;
  Vec departures = splat_i32(0);
  Vec arrivals = splat_i32(0);
  for (std::size_t i = 0; i < rounds * ROUND; i += ROUND) {
    const Vec low = load(values + i);
    const Vec high = load(values + i + 4);
    departures = sub_i32(departures, equal_i32(low, load(homes + i + 1)));
    departures = sub_i32(departures, equal_i32(high, load(homes + i + 5)));
    arrivals = sub_i32(arrivals, equal_i32(low, load(homes + i)));
    arrivals = sub_i32(arrivals, equal_i32(high, load(homes + i + 4)));
  }
  return {sum_i32(departures), sum_i32(arrivals)};
}

// The changes of a round are narrowed to 16 bits (a batch changes the count
// by at most MOVE_BATCH) and their running sums formed in three shifted
// additions.
int lowest_running_vector(const Cell* values, const std::uint32_t* homes, std::size_t rounds) noexcept {
  using namespace simd;
  Vec carry = splat_i16(0);
  Vec lowest = splat_i16(0x7FFF);
  for (std::size_t i = 0; i < rounds * ROUND; i += ROUND) {
    const Vec low_values = load(values + i);
    const Vec high_values = load(values + i + 4);
    // [v == t] - [v == g] is (v == g) - (v == t) in the comparisons' terms.
    const Vec low = sub_i32(equal_i32(low_values, load(homes + i)), equal_i32(low_values, load(homes + i + 1)));
    const Vec high = sub_i32(equal_i32(high_values, load(homes + i + 4)), equal_i32(high_values, load(homes + i + 5)));
    Vec sums = narrow_i32(low, high);
    sums = add_i16(sums, shift_up<2>(sums));
    sums = add_i16(sums, shift_up<4>(sums));
    sums = add_i16(sums, shift_up<8>(sums));
    sums = add_i16(sums, carry);
    lowest = min_i16(lowest, sums);
    carry = splat_last_i16(sums);
  }
  return lowest_i16(lowest);
}

// The same passes on the vector unit.
struct VectorPasses {
  // The vector walk holds a row in 16 bits and weighs it by the side in a
  // signed 16-bit multiply; larger boards (over 4 GB each) walk portably.
  template <class Follow>
  static void walk(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side,
                   std::size_t& row, std::size_t& column, std::uint32_t* homes, Follow&& follow) noexcept {
    if (side <= 32767) {
      walk_vector(codes, count, steps, side, row, column, homes, follow);
    } else {
      PortablePasses::walk(codes, count, steps, side, row, column, homes, follow);
    }
  }

  static Changes count_changes(const Cell* values, const std::uint32_t* homes, std::size_t count) noexcept {
    return count_changes_vector(values, homes, (count + ROUND - 1) / ROUND);
  }

  static int lowest_running(const Cell* values, const std::uint32_t* homes, std::size_t count) noexcept {
    return lowest_running_vector(values, homes, (count + ROUND - 1) / ROUND);
  }
};

#else

// Without a vector unit play_batch and gap_path are their portable forms.
using VectorPasses = PortablePasses;

#endif

// play_batch with either set of passes.
template <class Passes>
std::size_t play(MovingBoard& board, const std::uint8_t* codes, std::size_t count, const StepTable& steps,
                 bool stop_when_solved) noexcept {
  alignas(16) std::uint32_t homes[PADDED_BATCH + 1];
  alignas(16) Cell values[PADDED_BATCH];
  std::size_t row = board.gap_row;
  std::size_t column = board.gap_column;
  homes[0] = static_cast<std::uint32_t>(row * board.side + column + 1);
  Slide slide{board.cells, homes, values, homes[0]};
  Passes::walk(codes, count, steps, board.side, row, column, homes + 1, slide);
  // Padding changes nothing: value 0 is no tile's number, and homes start at 1.
  for (std::size_t i = count; i % ROUND != 0; ++i) {
    values[i] = 0;
    homes[i + 1] = homes[count];
  }

  // Each code lowers the count by its arrival, if any, so a batch with fewer
  // arrivals than misplaced tiles cannot leave the board solved.
  const auto before = static_cast<std::ptrdiff_t>(board.misplaced);
  const Changes changes = Passes::count_changes(values, homes, count);
  std::size_t played = count;
  if (stop_when_solved && before <= changes.arrivals && before + Passes::lowest_running(values, homes, count) <= 0) {
    // Solved inside the batch: find the first code that did it, then put
    // back, latest first, the tiles that the codes after it moved.
    // A board solved before the batch still plays its first code.
    std::ptrdiff_t misplaced = before;
    played = 0;
    do {
      misplaced += misplaced_change(values[played], homes[played + 1], homes[played]);
      ++played;
    } while (misplaced != 0);
    for (std::size_t i = count; i > played; --i) board.cells[homes[i] - 1] = values[i - 1];
    const std::size_t gap = homes[played] - 1;
    row = gap / board.side;
    column = gap % board.side;
    board.misplaced = 0;
  } else {
    board.misplaced = static_cast<std::size_t>(before + changes.departures - changes.arrivals);
  }
  board.gap_row = row;
  board.gap_column = column;
  board.cells[homes[played] - 1] = 0;
  return played;
}

}  // namespace

void gap_path_portable(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side,
                       std::size_t& row, std::size_t& column, std::uint32_t* homes) noexcept {
  const auto last = static_cast<std::ptrdiff_t>(side - 1);
  auto r = static_cast<std::ptrdiff_t>(row);
  auto c = static_cast<std::ptrdiff_t>(column);
  for (std::size_t i = 0; i < count; ++i) {
    const PackedStep step = steps[codes[i]];
    r = std::clamp<std::ptrdiff_t>(r + row_step(step), 0, last);
    c = std::clamp<std::ptrdiff_t>(c + column_step(step), 0, last);
    homes[i] = static_cast<std::uint32_t>(static_cast<std::size_t>(r) * side + static_cast<std::size_t>(c) + 1);
  }
  row = static_cast<std::size_t>(r);
  column = static_cast<std::size_t>(c);
}

void gap_path(const std::uint8_t* codes, std::size_t count, const StepTable& steps, std::size_t side, std::size_t& row,
              std::size_t& column, std::uint32_t* homes) noexcept {
  VectorPasses::walk(codes, count, steps, side, row, column, homes, [](std::size_t, auto) noexcept {});
}

std::size_t play_batch(MovingBoard& board, const std::uint8_t* codes, std::size_t count, const StepTable& steps,
                       bool stop_when_solved) noexcept {
  return play<VectorPasses>(board, codes, count, steps, stop_when_solved);
}

std::size_t play_batch_portable(MovingBoard& board, const std::uint8_t* codes, std::size_t count,
                                const StepTable& steps, bool stop_when_solved) noexcept {
  return play<PortablePasses>(board, codes, count, steps, stop_when_solved);
}

}  // namespace vostral::core
