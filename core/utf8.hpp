#pragma once

#include <cstddef>
#include <string_view>

namespace vostral::core {

inline bool is_scalar_value(char32_t ch) noexcept { return ch < 0xD800 || (ch > 0xDFFF && ch <= 0x10FFFF); }

// Writes the 1 to 4 bytes of `ch` to `out` and returns how many.
// REQUIRES: is_scalar_value(ch).
inline std::size_t encode_utf8(char32_t ch, char* out) noexcept {
  if (ch < 0x80) {
    out[0] = static_cast<char>(ch);
    return 1;
  }
  if (ch < 0x800) {
    out[0] = static_cast<char>(0xC0 | (ch >> 6));
    out[1] = static_cast<char>(0x80 | (ch & 0x3F));
    return 2;
  }
  if (ch < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (ch >> 12));
    out[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (ch & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (ch >> 18));
  out[1] = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (ch & 0x3F));
  return 4;
}

// Decodes the scalar value that starts at text[at] and advances `at` past it.
// Returns U+FFFFFFFF (not a scalar value) for an ill-formed or truncated
// sequence, leaving `at` unchanged; overlong forms and surrogates count as
// ill-formed.
char32_t decode_utf8(std::string_view text, std::size_t& at) noexcept;

inline constexpr char32_t INVALID_UTF8 = 0xFFFFFFFF;

}  // namespace vostral::core
