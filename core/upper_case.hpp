#pragma once

#include <cstdint>

namespace vostral::core {

// Result of upper-casing a single code point. chars[0..count) holds the
// result; the mapping can expand (U+00DF -> "SS", U+0390 -> 3 code points),
// so callers must not assume count == 1 outside ASCII. The table matches the
// Unicode database of the interpreter the extension targets.
struct UpperMapping {
  char32_t chars[3];
  std::uint8_t count;  // 1 to 3; a code point without a mapping maps to itself
};

// The default full upper-case mapping of one code point taken alone (no context).
// Surrogates and values above U+10FFFF map to themselves with count 1.
UpperMapping upper_case(char32_t code_point) noexcept;

}  // namespace vostral::core
