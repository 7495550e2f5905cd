// Timings of the game core's hot operations: creating a game, one move, and
// a long move sequence per character, then the batch kernels' vector and
// portable forms side by side. Build optimised; run without arguments.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "benchmarks/floor/plain_game.hpp"
#include "core/directions.hpp"
#include "core/game_state.hpp"
#include "core/move_batch.hpp"
#include "core/upper_case.hpp"

namespace {

using vostral::core::MOVE_BATCH;
using vostral::core::MovingBoard;
using vostral::core::StepTable;
using vostral::core::TarnelCore;
using Clock = std::chrono::steady_clock;

// Results are folded into a volatile so the optimiser cannot drop the work
// that produced them.
volatile std::uint64_t sink = 0;

void keep(std::uint64_t value) { sink = sink + value; }

double elapsed_ns(Clock::time_point since) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count());
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

double creation_us(std::uint64_t side, int repeats) {
  std::vector<double> samples;
  for (int i = 0; i < repeats; ++i) {
    const Clock::time_point start = Clock::now();
    const TarnelCore game = TarnelCore::create(side);
    samples.push_back(elapsed_ns(start) / 1000.0);
    keep(static_cast<std::uint64_t>(game.board()[0]) + game.cmds().size());
  }
  return median(samples);
}

double plain_creation_us(std::size_t side, bool branch_free, int repeats) {
  std::vector<double> samples;
  for (int i = 0; i < repeats; ++i) {
    const Clock::time_point start = Clock::now();
    vostral::bench::PlainGame game;
    if (branch_free) {
      vostral::bench::plain_create<true>(game, side);
    } else {
      vostral::bench::plain_create<false>(game, side);
    }
    samples.push_back(elapsed_ns(start) / 1000.0);
    keep(static_cast<std::uint64_t>(game.board[0]) + static_cast<std::uint64_t>(game.log[999]));
  }
  return median(samples);
}

std::string random_letters(std::size_t count, const char* alphabet, std::size_t alphabet_size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string text(count, ' ');
  for (char& ch : text) ch = alphabet[rng() % alphabet_size];
  return text;
}

double move_tile_ns(std::uint64_t side, const std::string& letters) {
  std::vector<double> samples;
  for (int repeat = 0; repeat < 5; ++repeat) {
    TarnelCore game = TarnelCore::create(side);
    std::uint64_t moved = 0;
    const Clock::time_point start = Clock::now();
    for (const char letter : letters) {
      if (game.move_tile(static_cast<char32_t>(letter))) ++moved;
    }
    samples.push_back(elapsed_ns(start) / static_cast<double>(letters.size()));
    keep(moved + static_cast<std::uint64_t>(game.is_solved()));
  }
  return median(samples);
}

// Returns 0 when the text solved the board before its end, so the run did
// not measure what it claims to.
double move_sequence_ns_per_char(std::uint64_t side, const std::string& text) {
  std::vector<double> samples;
  for (int repeat = 0; repeat < 5; ++repeat) {
    TarnelCore game = TarnelCore::create(side);
    const Clock::time_point start = Clock::now();
    const bool solved = game.move_sequence(text);
    const double ns = elapsed_ns(start);
    if (solved || game.get_cmds_str().size() != text.size()) return 0;
    samples.push_back(ns / static_cast<double>(text.size()));
    keep(game.cmds().size());
  }
  return median(samples);
}

// One family of the kernels that move_sequence drives: the ASCII upper-casing
// and the move batch.
struct Kernels {
  std::size_t (*upper)(const unsigned char*, std::size_t, char*) noexcept;
  std::size_t (*play)(MovingBoard&, const std::uint8_t*, std::size_t, const StepTable&, bool) noexcept;
};
constexpr Kernels VECTOR{vostral::core::upper_ascii_prefix, vostral::core::play_batch};
constexpr Kernels PORTABLE{vostral::core::upper_ascii_prefix_portable, vostral::core::play_batch_portable};

// The step of each letter as the game has it (its table is its own).
StepTable letter_steps(bool draws) {
  StepTable steps{};
  for (std::size_t i = 0; i < vostral::core::DIRECTION_OFFSETS.size(); ++i) {
    const auto& offset = vostral::core::DIRECTION_OFFSETS[i];
    steps[draws ? i : static_cast<std::size_t>(offset.letter)] = vostral::core::pack_step(offset.row, offset.column);
  }
  return steps;
}

// A board of side n after 1000 random draws, as a new game has it.
std::vector<vostral::core::Cell> scrambled_cells(std::size_t side, MovingBoard& board) {
  std::vector<vostral::core::Cell> cells(side * side);
  for (std::size_t i = 0; i + 1 < cells.size(); ++i) cells[i] = static_cast<vostral::core::Cell>(i + 1);
  board = {cells.data(), side, side - 1, side - 1, 0};
  const std::string draws = random_letters(1000, "\0\1\2\3", 4, 7);
  const StepTable steps = letter_steps(true);
  for (std::size_t at = 0; at < draws.size(); at += MOVE_BATCH) {
    vostral::core::play_batch_portable(board, reinterpret_cast<const std::uint8_t*>(draws.data()) + at,
                                       std::min(MOVE_BATCH, draws.size() - at), steps, false);
  }
  return cells;
}

// The text upper-cased (side 0), or upper-cased and played as move_sequence
// plays it, in batches that stop on the solving letter. Returns 0 when the
// text solved the board.
double kernels_ns_per_char(const Kernels& kernels, std::size_t side, const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::string upper(text.size(), ' ');
  MovingBoard board{};
  std::vector<vostral::core::Cell> cells =
      side == 0 ? std::vector<vostral::core::Cell>{} : scrambled_cells(side, board);
  const StepTable steps = letter_steps(false);
  const Clock::time_point start = Clock::now();
  const std::size_t run = kernels.upper(bytes, text.size(), upper.data());
  if (side != 0) {
    for (std::size_t played = 0; played < run;) {
      // Batches as the game sizes them: short while few tiles are misplaced.
      const std::size_t count = std::min(std::clamp(board.misplaced * 8, std::size_t{8}, MOVE_BATCH), run - played);
      const std::size_t batch =
          kernels.play(board, reinterpret_cast<const std::uint8_t*>(upper.data()) + played, count, steps, true);
      if (batch < count) return 0;
      played += batch;
    }
  }
  const double ns = elapsed_ns(start);
  keep(run + board.misplaced + static_cast<std::uint64_t>(upper[run / 2]));
  return ns / static_cast<double>(text.size());
}

}  // namespace

int main() {
  std::printf("creation (median), beside the plain floors of the same work: a branch per move, none\n");
  for (const auto& [side, repeats] : {std::pair<std::uint64_t, int>{4, 501}, {100, 101}, {1000, 21}}) {
    const double game = creation_us(side, repeats);
    const double branching = plain_creation_us(side, false, repeats);
    const double branch_free = plain_creation_us(side, true, repeats);
    std::printf("  n=%-5llu %9.2f us   floors %9.2f us %9.2f us   ratios %.2fx %.2fx\n",
                static_cast<unsigned long long>(side), game, branching, branch_free, game / branching,
                game / branch_free);
  }

  const std::string letters = random_letters(1'000'000, "UDLR", 4, 1);
  std::printf("move_tile, %zu random letters (median of 5)\n", letters.size());
  for (const std::uint64_t side : {4u, 100u}) {
    std::printf("  n=%-5llu %10.2f ns per call\n", static_cast<unsigned long long>(side), move_tile_ns(side, letters));
  }

  std::printf("move_sequence, 1000000 ASCII characters (median of 5)\n");
  for (const std::uint64_t side : {4u, 100u}) {
    double ns = 0;
    // A random walk can pass through the goal of a small board; try another text if it did.
    for (std::uint64_t seed = 2; ns == 0 && seed < 50; ++seed) {
      ns = move_sequence_ns_per_char(side, random_letters(1'000'000, "udlrUDLR", 8, seed));
    }
    if (ns == 0) {
      std::fprintf(stderr, "every text solved the board of side %llu\n", static_cast<unsigned long long>(side));
      return EXIT_FAILURE;
    }
    std::printf("  n=%-5llu %10.2f ns per character\n", static_cast<unsigned long long>(side), ns);
  }

  // The same text through each family in turn, five times over.
  std::printf("batch kernels, 1000000 ASCII characters (median of 5): vector, portable, ratio\n");
  const std::string text = random_letters(1'000'000, "udlrUDLR", 8, 2);
  for (const std::size_t side : {0u, 4u, 100u}) {
    std::vector<double> vector;
    std::vector<double> portable;
    for (int repeat = 0; repeat < 5; ++repeat) {
      vector.push_back(kernels_ns_per_char(VECTOR, side, text));
      portable.push_back(kernels_ns_per_char(PORTABLE, side, text));
    }
    const double fast = median(vector);
    const double slow = median(portable);
    if (fast == 0 || slow == 0) {
      std::fprintf(stderr, "the text solved the board of side %zu\n", side);
      return EXIT_FAILURE;
    }
    if (side == 0) {
      std::printf("  upper-casing %6.2f ns %6.2f ns per character   %.2fx\n", fast, slow, slow / fast);
    } else {
      std::printf("  n=%-5zu + moves %6.2f ns %6.2f ns per character   %.2fx\n", side, fast, slow, slow / fast);
    }
  }
  return EXIT_SUCCESS;
}
