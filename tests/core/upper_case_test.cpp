#include "core/upper_case.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using vostral::core::upper_ascii_prefix;
using vostral::core::upper_ascii_prefix_portable;
using vostral::core::upper_case;
using vostral::core::UpperMapping;

constexpr char32_t kMaxCodePoint = 0x10FFFF;

struct Expected {
  char32_t code_point;
  std::vector<char32_t> chars;
};

std::string hex(char32_t value) {
  std::ostringstream out;
  out << "U+" << std::hex << std::uppercase << static_cast<std::uint32_t>(value);
  return out.str();
}

std::string describe(const std::vector<char32_t>& chars) {
  std::string text = "{";
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (i != 0) text += ' ';
    text += hex(chars[i]);
  }
  return text + "}";
}

// The count is shown on its own, since one out of range is the fault to see.
std::string describe(const UpperMapping& m) {
  return describe({m.chars, m.chars + std::min<std::size_t>(m.count, 3)}) + " count " + std::to_string(m.count);
}

bool matches(const UpperMapping& m, const std::vector<char32_t>& chars) {
  if (m.count != chars.size()) return false;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (m.chars[i] != chars[i]) return false;
  }
  return true;
}

char32_t parse_hex(const std::string& text) {
  std::size_t used = 0;
  const unsigned long value = std::stoul(text, &used, 16);
  if (used != text.size() || value > kMaxCodePoint) {
    throw std::invalid_argument("bad code point '" + text + "'");
  }
  return static_cast<char32_t>(value);
}

// Parses "CP:U1 U2 U3" lines; throws on anything malformed or out of order so a
// corrupt file fails loudly instead of silently checking less.
std::vector<Expected> read_expectations(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<Expected> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("no ':' in '" + line + "'");
    Expected entry{parse_hex(line.substr(0, colon)), {}};
    std::istringstream rest(line.substr(colon + 1));
    std::string word;
    while (rest >> word) entry.chars.push_back(parse_hex(word));
    if (entry.chars.empty() || entry.chars.size() > 3) {
      throw std::invalid_argument("bad result length in '" + line + "'");
    }
    if (!entries.empty() && entries.back().code_point >= entry.code_point) {
      throw std::invalid_argument("entries not strictly sorted at '" + line + "'");
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void expect_upper(char32_t cp, const std::vector<char32_t>& chars) {
  const UpperMapping m = upper_case(cp);
  EXPECT_TRUE(matches(m, chars)) << hex(cp) << " gave " << describe(m) << ", expected " << describe(chars);
}

TEST(UpperCase, MatchesUnicode13ForEveryCodePoint) {
  const char* path = std::getenv("VOSTRAL_UPPER_EXPECTED");
  ASSERT_TRUE(path != nullptr && *path != '\0')
      << "VOSTRAL_UPPER_EXPECTED names the expectations (tests/core/upper_case_unicode_13.txt); CTest sets it";
  std::vector<Expected> entries;
  ASSERT_NO_THROW(entries = read_expectations(path)) << "while reading " << path;
  // Unicode 13.0 has 1485 such code points; a truncated or empty file must not pass.
  ASSERT_GT(entries.size(), 1000u) << path << " has implausibly few entries";

  std::size_t next = 0;
  std::size_t mismatches = 0;
  std::vector<char32_t> itself(1);
  for (char32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    const std::vector<char32_t>* expected = &itself;
    if (next < entries.size() && entries[next].code_point == cp) {
      expected = &entries[next++].chars;
    } else {
      itself[0] = cp;
    }
    const UpperMapping m = upper_case(cp);
    if (!matches(m, *expected) && ++mismatches <= 20) {
      ADD_FAILURE() << hex(cp) << " gave " << describe(m) << ", expected " << describe(*expected);
    }
  }
  EXPECT_EQ(next, entries.size()) << "not every entry was visited";
  EXPECT_EQ(mismatches, 0u) << "code points whose upper case differs from the interpreter";
}

TEST(UpperCase, AsciiChangesOnlyTheLowerCaseLetters) {
  // Written from the rule, not read from the expectations: the move letters stay as they are.
  for (char32_t c = 0; c < 0x80; ++c) expect_upper(c, {c >= U'a' && c <= U'z' ? static_cast<char32_t>(c - 0x20) : c});
}

TEST(UpperCase, ExpandingMappings) {
  expect_upper(0x00DF, {U'S', U'S'});
  expect_upper(0xFB02, {U'F', U'L'});
  expect_upper(0xFB04, {U'F', U'F', U'L'});
  expect_upper(0x0149, {0x02BC, U'N'});
  expect_upper(0x0390, {0x0399, 0x0308, 0x0301});
}

TEST(UpperCase, NonAsciiSingleMappings) {
  expect_upper(0x00E9, {0x00C9});
  expect_upper(0x00FF, {0x0178});
  expect_upper(0x0131, {U'I'});
  expect_upper(0x017F, {U'S'});
  expect_upper(0x1E9E, {0x1E9E});
  expect_upper(0x1E943, {0x1E921});
}

TEST(UpperCase, EdgesOfTheDomainMapToThemselves) {
  expect_upper(0xD800, {0xD800});
  expect_upper(0xDC00, {0xDC00});
  expect_upper(0xDFFF, {0xDFFF});
  expect_upper(kMaxCodePoint, {kMaxCodePoint});
  expect_upper(0x110000, {0x110000});
  expect_upper(0x7FFFFFFF, {0x7FFFFFFF});
  expect_upper(0xFFFFFFFF, {0xFFFFFFFF});
}

TEST(UpperCase, VectorAndPortableAsciiPrefixesAgree) {
  std::mt19937_64 rng(0x9a7'0007);
  for (int round = 0; round < 3000; ++round) {
    // Several 16-byte steps and a tail, from any alignment; bytes above 0x7F
    // from none to many, so that the prefix ends anywhere.
    const std::size_t offset = rng() % 16;
    const std::size_t count = rng() % 100;
    const std::uint64_t rare = std::uint64_t{1} << (rng() % 8);
    std::vector<unsigned char> text(offset + count);
    for (unsigned char& byte : text) byte = static_cast<unsigned char>(rng() % rare == 0 ? 0x80 | rng() : rng() % 0x80);
    // Bytes past the prefix must be left as they were.
    std::vector<char> vector_out(count + 16, '#');
    std::vector<char> portable_out(count + 16, '#');
    const std::size_t length = upper_ascii_prefix(text.data() + offset, count, vector_out.data());
    ASSERT_EQ(length, upper_ascii_prefix_portable(text.data() + offset, count, portable_out.data())) << round;
    ASSERT_EQ(vector_out, portable_out) << round;
  }
}

}  // namespace
