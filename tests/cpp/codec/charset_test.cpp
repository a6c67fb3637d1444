#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "codec/charset.hpp"

namespace ferromesh {
namespace {

struct TextCase {
  const char* name;
  std::uint8_t charset;
  Bytes octets;
  std::string text;  // UTF-8
  bool keeps_raw;    // the octets cannot be rebuilt from the text
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

// Each set's common cases are exercised through the Python API
// (test_constructed.py); these are the corners.
class Charsets : public testing::TestWithParam<TextCase> {};

TEST_P(Charsets, DecodeToTextKeepingWhatTheTextCannotGiveBack) {
  const auto& c = GetParam();
  const auto decoded = charset::decode(c.charset, c.octets);
  ASSERT_TRUE(decoded.ok()) << to_string(decoded.error());
  EXPECT_EQ(decoded->text, c.text);
  EXPECT_EQ(decoded->raw, c.keeps_raw ? std::optional<Bytes>(c.octets) : std::nullopt);
  if (!c.keeps_raw) {
    Bytes written;
    charset::encode(c.charset, decoded->text, written);
    EXPECT_EQ(written, c.octets);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Charsets,
    testing::Values(
        TextCase{"Utf8Invalid", 0, {'T', 0xE9}, "T\xEF\xBF\xBD", true},
        TextCase{"Ucs2", 4, {0x00, 'T', 0x00, 0xE9, 0x20, 0xAC}, "T\xC3\xA9\xE2\x82\xAC", false},
        TextCase{"Ucs2LoneSurrogate", 4, {0xD8, 0x3D, 0x00, 'A'}, "\xEF\xBF\xBD" "A", true},
        TextCase{"Ucs2LowSurrogateFirst", 4, {0xDE, 0x00}, "\xEF\xBF\xBD", true},
        TextCase{"Ucs4", 3, {0, 0, 0, 'A', 0, 1, 0xF6, 0}, "A\xF0\x9F\x98\x80", false},
        TextCase{"Ucs4BeyondUnicode", 3, {0, 0x11, 0, 0}, "\xEF\xBF\xBD", true},
        TextCase{"Ucs4Surrogate", 3, {0, 0, 0xD8, 0}, "\xEF\xBF\xBD", true},
        TextCase{"JisX0208", 2, {0x30, 0x42, 0x30}, "\xEF\xBF\xBD\xEF\xBF\xBD", true},
        TextCase{"UnknownSet", 9, {'o', 'k'}, "ok", true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Charsets, WideSetsWithAStrayOctetAreInvalid) {
  EXPECT_EQ(charset::decode(charset::kUcs2, Bytes{0x00, 0x41, 0x00}).error(), DecodeError::InvalidData);
  EXPECT_EQ(charset::decode(charset::kUcs4, Bytes{0, 0, 0, 0x41, 0}).error(), DecodeError::InvalidData);
}

TEST(Charsets, WhatASetCannotHoldIsRefusedOrSubstituted) {
  EXPECT_TRUE(charset::can_encode(charset::kIso8859_1, "Temp\xC3\xA9"));
  EXPECT_FALSE(charset::can_encode(charset::kIso8859_1, "5 \xE2\x82\xAC"));
  EXPECT_TRUE(charset::can_encode(charset::kUcs2, "\xF0\x9F\x98\x80"));
  EXPECT_FALSE(charset::can_encode(charset::kDbcs, "A"));
  Bytes written;
  charset::encode(charset::kIso8859_1, "5 \xE2\x82\xAC", written);
  EXPECT_EQ(written, (Bytes{'5', ' ', '?'}));
}

}  // namespace
}  // namespace ferromesh
