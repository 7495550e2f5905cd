#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vostral::core {

inline bool is_scalar_value(char32_t ch) noexcept {
  return ch < 0xD800 || (ch > 0xDFFF && ch <= 0x10FFFF);
}

// Appends the 1 to 4 bytes of `ch`. REQUIRES: is_scalar_value(ch).
inline void append_utf8(std::string& out, char32_t ch) {
  if (ch < 0x80) {
    out.push_back(static_cast<char>(ch));
  } else if (ch < 0x800) {
    const char bytes[2] = {static_cast<char>(0xC0 | (ch >> 6)), static_cast<char>(0x80 | (ch & 0x3F))};
    out.append(bytes, 2);
  } else if (ch < 0x10000) {
    const char bytes[3] = {static_cast<char>(0xE0 | (ch >> 12)),
                           static_cast<char>(0x80 | ((ch >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (ch & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[4] = {static_cast<char>(0xF0 | (ch >> 18)),
                           static_cast<char>(0x80 | ((ch >> 12) & 0x3F)),
                           static_cast<char>(0x80 | ((ch >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (ch & 0x3F))};
    out.append(bytes, 4);
  }
}

// Decodes the scalar value that starts at text[at] and advances `at` past it.
// Returns U+FFFFFFFF (not a scalar value) for an ill-formed or truncated
// sequence, leaving `at` unchanged; overlong forms and surrogates count as
// ill-formed.
char32_t decode_utf8(std::string_view text, std::size_t& at) noexcept;

inline constexpr char32_t INVALID_UTF8 = 0xFFFFFFFF;

}  // namespace vostral::core
