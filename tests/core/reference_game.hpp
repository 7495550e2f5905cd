#pragma once

// A deliberately naive model of the game, written from the rules rather than
// from the core: it scans for the gap on every move and compares every cell
// for the solved test, so it shares none of the core's bookkeeping.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/game_state.hpp"
#include "core/upper_case.hpp"

namespace vostral::test {

using core::Cell;
using core::Rows;

inline Rows goal_rows(std::size_t n) {
  Rows rows(n, std::vector<Cell>(n));
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < n; ++c) rows[r][c] = static_cast<Cell>(r * n + c + 1);
  }
  rows[n - 1][n - 1] = 0;
  return rows;
}

// Written out by hand from the encoding's bit layout.
inline std::string utf8_of(char32_t ch) {
  std::string out;
  const auto byte = [&](std::uint32_t b) { out.push_back(static_cast<char>(b)); };
  const auto v = static_cast<std::uint32_t>(ch);
  if (v < 0x80) {
    byte(v);
  } else if (v < 0x800) {
    byte(0xC0 | (v >> 6)), byte(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    byte(0xE0 | (v >> 12)), byte(0x80 | ((v >> 6) & 0x3F)), byte(0x80 | (v & 0x3F));
  } else {
    byte(0xF0 | (v >> 18)), byte(0x80 | ((v >> 12) & 0x3F)), byte(0x80 | ((v >> 6) & 0x3F)), byte(0x80 | (v & 0x3F));
  }
  return out;
}

inline std::string utf8_of(const std::u32string& text) {
  std::string out;
  for (const char32_t ch : text) out += utf8_of(ch);
  return out;
}

struct ReferenceGame {
  Rows board;
  std::string log;
  std::string moved = {};  // the letters that moved a tile, in order

  std::size_t side() const { return board.size(); }

  bool solved() const { return board == goal_rows(side()); }

  std::optional<char32_t> move_tile(char32_t ch) {
    log += utf8_of(ch);
    int dr = 0;
    int dc = 0;
    switch (ch) {
      case U'U': dr = -1; break;
      case U'D': dr = +1; break;
      case U'L': dc = -1; break;
      case U'R': dc = +1; break;
      default: return std::nullopt;
    }
    const int n = static_cast<int>(side());
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        if (board[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] != 0) continue;
        const int tr = r + dr;
        const int tc = c + dc;
        if (tr < 0 || tr >= n || tc < 0 || tc >= n) return std::nullopt;
        std::swap(board[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)],
                  board[static_cast<std::size_t>(tr)][static_cast<std::size_t>(tc)]);
        moved.push_back(static_cast<char>(ch));
        return ch;
      }
    }
    return std::nullopt;
  }

  bool move_sequence(const std::u32string& text) {
    log.clear();
    for (const char32_t ch : text) {
      const core::UpperMapping upper = core::upper_case(ch);
      for (std::size_t i = 0; i < upper.count; ++i) {
        move_tile(upper.chars[i]);
        if (solved()) return true;
      }
    }
    return false;
  }
};

// Replays a log on `rows`. Bytes of multi-byte characters are all >= 0x80, so
// they can be skipped one by one: only ASCII letters ever move a tile.
inline Rows replay(Rows rows, const std::string& log) {
  ReferenceGame game{std::move(rows), {}};
  for (const char byte : log) {
    if (static_cast<unsigned char>(byte) < 0x80) game.move_tile(static_cast<char32_t>(byte));
  }
  return game.board;
}

// A board reachable from the goal, with the letters that moved a tile, in order.
inline std::pair<Rows, std::string> random_walk(std::size_t n, std::size_t steps, std::mt19937_64& rng) {
  ReferenceGame game{goal_rows(n), {}};
  for (std::size_t i = 0; i < steps; ++i) game.move_tile(static_cast<char32_t>("UDLR"[rng() % 4]));
  return {game.board, game.moved};
}

// The letters that walk `moved` back to the goal.
inline std::string undo_letters(const std::string& moved) {
  std::string back;
  for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
    back.push_back(*it == 'U' ? 'D' : *it == 'D' ? 'U' : *it == 'L' ? 'R' : 'L');
  }
  return back;
}

inline bool is_permutation_of_cells(const Rows& rows) {
  const std::size_t n = rows.size();
  std::vector<bool> seen(n * n, false);
  for (const auto& row : rows) {
    if (row.size() != n) return false;
    for (const Cell v : row) {
      if (v < 0 || static_cast<std::size_t>(v) >= n * n || seen[static_cast<std::size_t>(v)]) return false;
      seen[static_cast<std::size_t>(v)] = true;
    }
  }
  return true;
}

}  // namespace vostral::test
