#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vostral::core {

// A direction letter names where the gap travels; the offsets, added to the
// gap's position, give the tile that slides into it.
struct DirectionOffset {
  char letter;
  std::int32_t row;
  std::int32_t column;
};

// Only these four upper-case letters move anything; lower-case u, d, l, r do not.
inline constexpr std::array<DirectionOffset, 4> DIRECTION_OFFSETS{{
    {'U', -1, 0},
    {'D', +1, 0},
    {'L', 0, -1},
    {'R', 0, +1},
}};

// A scramble draw k in 0..3 plays SCRAMBLE_LETTERS[k].
inline constexpr std::array<char, 4> SCRAMBLE_LETTERS{'U', 'D', 'L', 'R'};
inline constexpr std::size_t SCRAMBLE_MOVES = 1000;

}  // namespace vostral::core
