#include "core/utf8.hpp"

namespace vostral::core {

char32_t decode_utf8(std::string_view text, std::size_t& at) noexcept {
  const std::size_t left = text.size() - at;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const auto is_continuation = [&](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t ch = 0;
  char32_t smallest = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, ch = lead & 0x1Fu, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, ch = lead & 0x0Fu, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, ch = lead & 0x07u, smallest = 0x10000;
  } else {
    return INVALID_UTF8;
  }
  if (left < length) return INVALID_UTF8;
  for (std::size_t i = 1; i < length; ++i) {
    if (!is_continuation(i)) return INVALID_UTF8;
    ch = (ch << 6) | (byte(i) & 0x3Fu);
  }
  if (ch < smallest || !is_scalar_value(ch)) return INVALID_UTF8;
  at += length;
  return ch;
}

}  // namespace vostral::core
