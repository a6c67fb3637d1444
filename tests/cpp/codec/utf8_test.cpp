#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "codec/utf8.hpp"

namespace ferromesh {
namespace {

using Octets = std::vector<std::uint8_t>;

std::string as_text(const Octets& octets) { return {octets.begin(), octets.end()}; }

struct Utf8Case {
  Octets input;
  Octets expected;  // what Python's bytes.decode("utf-8", "replace") gives, as UTF-8
};

void PrintTo(const Utf8Case& c, std::ostream* os) {
  *os << std::hex;
  for (std::uint8_t b : c.input) *os << ' ' << int{b};
  *os << std::dec;
}

class DecodeUtf8Lossy : public testing::TestWithParam<Utf8Case> {};

TEST_P(DecodeUtf8Lossy, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(decode_utf8_lossy(GetParam().input), as_text(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, DecodeUtf8Lossy,
    testing::Values(
        Utf8Case{{}, {}}, Utf8Case{{0x61, 0x62, 0x63}, {0x61, 0x62, 0x63}},
        Utf8Case{{0x80}, {0xEF, 0xBF, 0xBD}},                                             // lone continuation
        Utf8Case{{0xC0, 0xAF}, {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},                     // overlong lead
        Utf8Case{{0xC2}, {0xEF, 0xBF, 0xBD}},                                             // cut at the end
        Utf8Case{{0xC2, 0x41}, {0xEF, 0xBF, 0xBD, 0x41}},                                 // cut in the middle
        Utf8Case{{0xE0, 0x80, 0x80}, {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},  // overlong
        Utf8Case{{0xE0, 0xA0}, {0xEF, 0xBF, 0xBD}},
        Utf8Case{{0xE0, 0xA0, 0x41}, {0xEF, 0xBF, 0xBD, 0x41}},
        Utf8Case{{0xED, 0xA0, 0x80}, {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},  // surrogate
        Utf8Case{{0xED, 0x9F, 0xBF}, {0xED, 0x9F, 0xBF}},                                  // last before them
        Utf8Case{{0xF0, 0x8F, 0xBF, 0xBF},
                 {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},
        Utf8Case{{0xF0, 0x90, 0x80}, {0xEF, 0xBF, 0xBD}}, Utf8Case{{0xF0, 0x90, 0x80, 0x80}, {0xF0, 0x90, 0x80, 0x80}},
        Utf8Case{{0xF4, 0x8F, 0xBF, 0xBF}, {0xF4, 0x8F, 0xBF, 0xBF}},  // U+10FFFF
        Utf8Case{{0xF4, 0x90, 0x80, 0x80},                              // above it
                 {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},
        Utf8Case{{0xF5, 0x80}, {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},
        Utf8Case{{0xFF, 0xFE}, {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}},
        Utf8Case{{0xEF, 0xBF, 0xBD}, {0xEF, 0xBF, 0xBD}},
        Utf8Case{{0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63},
                 {0x61, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0x62, 0xEF, 0xBF, 0xBD, 0x63}},
        Utf8Case{{0xE2, 0x82, 0xAC, 0xE2, 0x82}, {0xE2, 0x82, 0xAC, 0xEF, 0xBF, 0xBD}},
        Utf8Case{{0xC3, 0xA9, 0x74, 0xC3, 0xA9}, {0xC3, 0xA9, 0x74, 0xC3, 0xA9}}));

Octets encode_code_point(std::uint32_t cp) {
  const auto octet = [](std::uint32_t v) { return static_cast<std::uint8_t>(v); };
  if (cp < 0x80) return {octet(cp)};
  if (cp < 0x800) return {octet(0xC0 | (cp >> 6)), octet(0x80 | (cp & 0x3F))};
  if (cp < 0x10000) return {octet(0xE0 | (cp >> 12)), octet(0x80 | ((cp >> 6) & 0x3F)), octet(0x80 | (cp & 0x3F))};
  return {octet(0xF0 | (cp >> 18)), octet(0x80 | ((cp >> 12) & 0x3F)), octet(0x80 | ((cp >> 6) & 0x3F)),
          octet(0x80 | (cp & 0x3F))};
}

TEST(DecodeUtf8Lossy, KeepsEveryScalarValueAndReplacesEverySurrogate) {
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const Octets octets = encode_code_point(cp);
    const std::string decoded = decode_utf8_lossy(octets);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      ASSERT_EQ(decoded, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << std::hex << cp;
    } else {
      ASSERT_EQ(decoded, as_text(octets)) << std::hex << cp;
    }
  }
}


// Valid text is copied in runs: ill-formed octets between ASCII runs of every
// length around the run boundaries must still be replaced one by one.
TEST(DecodeUtf8Lossy, ReplacesIllFormedOctetsBetweenLongRuns) {
  const std::string replacement = "\xEF\xBF\xBD";
  for (std::size_t before : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u}) {
    for (std::size_t after : {0u, 1u, 8u, 16u, 33u}) {
      Octets octets(before, 0x61);
      octets.push_back(0x80);                          // lone continuation
      octets.insert(octets.end(), after, 0x62);
      octets.insert(octets.end(), {0xE2, 0x82});       // cut three-octet sequence
      octets.insert(octets.end(), {0xC3, 0xA9});       // valid two-octet sequence
      octets.insert(octets.end(), before, 0x63);
      octets.push_back(0xFF);                          // never valid, at the very end
      const std::string expected = std::string(before, 'a') + replacement + std::string(after, 'b') +
                                   replacement + "\xC3\xA9" + std::string(before, 'c') + replacement;
      ASSERT_EQ(decode_utf8_lossy(octets), expected) << "before " << before << ", after " << after;
    }
  }
}

}  // namespace
}  // namespace ferromesh
