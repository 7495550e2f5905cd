#pragma once

#include <cstddef>
#include <cstdint>

namespace vostral::core {

// Result of upper-casing a single code point. chars[0..count) holds the
// result; the mapping can expand (U+00DF -> "SS", U+0390 -> 3 code points),
// so callers must not assume count == 1 outside ASCII. The table follows
// Unicode 13.0.0, the version CPython 3.10's str.upper() follows, whatever
// interpreter loads the module; the core's tests check it against the
// committed expectations file.
struct UpperMapping {
  char32_t chars[3];
  std::uint8_t count;  // 1 to 3; a code point without a mapping maps to itself
};

// The default full upper-case mapping of one code point taken alone (no context).
// Surrogates and values above U+10FFFF map to themselves with count 1.
UpperMapping upper_case(char32_t code_point) noexcept;

// ASCII alone: a-z become A-Z. In 8-bit arithmetic throughout, so that a loop
// of it vectorises byte-wide.
constexpr char ascii_upper(std::uint8_t byte) noexcept {
  const auto from_a = static_cast<std::uint8_t>(byte - std::uint8_t{'a'});
  return static_cast<char>(static_cast<std::uint8_t>(byte - (from_a < 26 ? std::uint8_t{'a' - 'A'} : std::uint8_t{0})));
}

// Writes the upper-case form of text[0..count) to out[0..count) up to the
// first byte that is not ASCII, and returns how many bytes came before it.
std::size_t upper_ascii_prefix(const unsigned char* text, std::size_t count, char* out) noexcept;
// The same without the vector unit, as other processors run it; exposed so
// that tests and benchmarks can hold the two against each other.
std::size_t upper_ascii_prefix_portable(const unsigned char* text, std::size_t count, char* out) noexcept;

}  // namespace vostral::core
