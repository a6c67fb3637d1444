#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/types.hpp"

namespace ferromesh {

// Failure messages show a value as its variant index and its encoding.
void PrintTo(const PropertyValue& value, std::ostream* os) {
  Bytes encoded;
  value.encode_tag_and_value(encoded);
  *os << "PropertyValue#" << value.variant.index() << "[";
  for (std::uint8_t b : encoded) *os << ' ' << std::hex << std::setw(2) << std::setfill('0') << int{b};
  *os << std::dec << " ]";
}

namespace {

using PV = PropertyValue;

PV unsigned_value(std::uint32_t v) { return {PV::Unsigned{v}}; }
PV signed_value(std::int32_t v) { return {PV::Signed{v}}; }
PV enumerated(std::uint32_t v) { return {PV::Enumerated{v}}; }
PV octets(std::vector<std::uint8_t> v) { return {PV::OctetString{std::move(v)}}; }
PV text(std::string v, std::uint8_t charset = 0) { return {PV::CharacterString{std::move(v), charset}}; }
PV bit_string(std::uint8_t used_bits, std::vector<std::uint8_t> bits) { return {PV::BitString{used_bits, std::move(bits)}}; }
using Field = std::optional<std::uint8_t>;
constexpr auto kAny = std::nullopt;  // an unspecified date or time field
PV date(std::optional<std::uint16_t> year, Field month, Field day, Field weekday) {
  return {PV::Date{year, month, day, weekday}};
}
PV time_of_day(Field h, Field m, Field s, Field hundredths) { return {PV::Time{h, m, s, hundredths}}; }
PV array(std::vector<PV> v) { return {PV::Array{std::move(v)}}; }
PV object_id(std::uint16_t type, std::uint32_t instance) { return {ObjectIdentifier{ObjectType::from_u16(type), instance}}; }

Bytes encode(const PV& value) {
  Bytes out;
  value.encode_tag_and_value(out);
  return out;
}

// Real and Double compare by their bits, so that NaN payloads and -0 count.
bool identical(const PV& a, const PV& b) {
  if (const auto* x = std::get_if<PV::Real>(&a.variant)) {
    const auto* y = std::get_if<PV::Real>(&b.variant);
    return y && std::bit_cast<std::uint32_t>(x->value) == std::bit_cast<std::uint32_t>(y->value);
  }
  if (const auto* x = std::get_if<PV::Double>(&a.variant)) {
    const auto* y = std::get_if<PV::Double>(&b.variant);
    return y && std::bit_cast<std::uint64_t>(x->value) == std::bit_cast<std::uint64_t>(y->value);
  }
  return a == b;
}

// ---------------------------------------------------------------------------
// Encoding: exact octets per variant.

struct EncodeCase {
  const char* name;
  PV value;
  Bytes wire;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

void expect_appends_exactly(const EncodeCase& c) {
  Bytes out = {0xEE};  // appends, never overwrites
  c.value.encode_tag_and_value(out);
  Bytes expected = {0xEE};
  expected.insert(expected.end(), c.wire.begin(), c.wire.end());
  EXPECT_EQ(out, expected);
}

class Encode : public testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, WritesExactOctets) { expect_appends_exactly(GetParam()); }

// Every value the decoder can produce comes back identical, consuming exactly
// what was written; every strict prefix of the encoding is incomplete.
TEST_P(Encode, DecodesBackAndEveryPrefixIsIncomplete) {
  const PV& value = GetParam().value;
  const Bytes wire = encode(value);
  const auto decoded = PV::decode(wire);
  ASSERT_TRUE(decoded.ok()) << to_string(decoded.error());
  EXPECT_TRUE(identical(decoded->value, value));
  EXPECT_EQ(decoded->consumed, wire.size());
  for (std::size_t n = 0; n < wire.size(); ++n) {
    const auto prefix = PV::decode(std::span(wire).first(n));
    ASSERT_FALSE(prefix.ok()) << "prefix of " << n << " octets decoded";
    EXPECT_EQ(prefix.error(), DecodeError::IncompleteData) << n;
  }
}

const EncodeCase kEncodeCases[] = {
    {"Null", {PV::Null{}}, {0x00}},
    {"BooleanFalse", {PV::Boolean{false}}, {0x10}},
    {"BooleanTrue", {PV::Boolean{true}}, {0x11}},
    {"Unsigned0", unsigned_value(0), {0x21, 0x00}},
    {"Unsigned255", unsigned_value(255), {0x21, 0xFF}},
    {"Unsigned256", unsigned_value(256), {0x22, 0x01, 0x00}},
    {"Unsigned65535", unsigned_value(65535), {0x22, 0xFF, 0xFF}},
    {"Unsigned65536", unsigned_value(65536), {0x23, 0x01, 0x00, 0x00}},
    {"Unsigned2pow24", unsigned_value(0x1000000), {0x24, 0x01, 0x00, 0x00, 0x00}},
    {"UnsignedMax", unsigned_value(0xFFFFFFFF), {0x24, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"Signed0", signed_value(0), {0x31, 0x00}},
    {"Signed127", signed_value(127), {0x31, 0x7F}},
    {"Signed128", signed_value(128), {0x32, 0x00, 0x80}},
    {"Signed200", signed_value(200), {0x32, 0x00, 0xC8}},
    {"Signed32767", signed_value(32767), {0x32, 0x7F, 0xFF}},
    {"Signed32768", signed_value(32768), {0x33, 0x00, 0x80, 0x00}},
    {"SignedMinus1", signed_value(-1), {0x33, 0xFF, 0xFF, 0xFF}},
    {"SignedMinus8388608", signed_value(-8388608), {0x33, 0x80, 0x00, 0x00}},
    {"SignedMinus8388609", signed_value(-8388609), {0x34, 0xFF, 0x7F, 0xFF, 0xFF}},
    {"Signed8388608", signed_value(8388608), {0x34, 0x00, 0x80, 0x00, 0x00}},
    {"SignedMin", signed_value(std::numeric_limits<std::int32_t>::min()), {0x34, 0x80, 0x00, 0x00, 0x00}},
    {"SignedMax", signed_value(std::numeric_limits<std::int32_t>::max()), {0x34, 0x7F, 0xFF, 0xFF, 0xFF}},
    {"Real1", {PV::Real{1.0f}}, {0x44, 0x3F, 0x80, 0x00, 0x00}},
    {"RealMinus0", {PV::Real{-0.0f}}, {0x44, 0x80, 0x00, 0x00, 0x00}},
    {"Double1", {PV::Double{1.0}}, {0x55, 0x08, 0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"DoubleMinusInf",
     {PV::Double{-std::numeric_limits<double>::infinity()}},
     {0x55, 0x08, 0xFF, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"OctetStringEmpty", octets({}), {0x60}},
    {"OctetString4", octets({1, 2, 3, 4}), {0x64, 1, 2, 3, 4}},
    {"OctetString5", octets({1, 2, 3, 4, 5}), {0x65, 0x05, 1, 2, 3, 4, 5}},
    {"CharacterStringEmpty", text(""), {0x71, 0x00}},
    {"CharacterString3", text("abc"), {0x74, 0x00, 'a', 'b', 'c'}},
    {"CharacterString4", text("abcd"), {0x75, 0x05, 0x00, 'a', 'b', 'c', 'd'}},
    {"CharacterStringUcs2", text("\xC3\xA9", 4), {0x73, 0x04, 0x00, 0xE9}},
    {"CharacterStringIso8859_1", text("\xC3\xA9", 5), {0x72, 0x05, 0xE9}},
    {"CharacterStringRawWinsOverText", {PV::CharacterString{"\xEF\xBF\xBD\xEF\xBF\xBD", 1, Bytes{0x88, 0xA0}}}, {0x73, 0x01, 0x88, 0xA0}},
    {"BitStringEmpty", bit_string(0, {}), {0x81, 0x00}},
    {"BitString1", bit_string(4, {0xA0}), {0x82, 0x04, 0xA0}},
    {"BitString3", bit_string(0, {1, 2, 3}), {0x84, 0x00, 1, 2, 3}},
    {"BitString4", bit_string(7, {1, 2, 3, 0x80}), {0x85, 0x05, 0x07, 1, 2, 3, 0x80}},
    {"Enumerated0", enumerated(0), {0x91, 0x00}},
    {"Enumerated256", enumerated(256), {0x92, 0x01, 0x00}},
    {"EnumeratedMax", enumerated(0xFFFFFFFF), {0x94, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"DateNoWeekday", date(2024, 3, 15, std::nullopt), {0xA4, 0x7C, 0x03, 0x0F, 0xFF}},
    {"DateFriday", date(2024, 3, 15, 4), {0xA4, 0x7C, 0x03, 0x0F, 0x05}},
    {"DateMonday1900", date(1900, 1, 1, 0), {0xA4, 0x00, 0x01, 0x01, 0x01}},
    {"DateSunday2154", date(2154, 12, 31, 6), {0xA4, 0xFE, 0x0C, 0x1F, 0x07}},
    {"DateUnspecified", date(kAny, kAny, kAny, kAny), {0xA4, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"DateOddMonthsLastDay", date(kAny, 13, 32, kAny), {0xA4, 0xFF, 0x0D, 0x20, 0xFF}},
    {"DateEvenMonthsOddDays", date(2024, 14, 33, 2), {0xA4, 0x7C, 0x0E, 0x21, 0x03}},
    {"DateEvenDays", date(2024, kAny, 34, kAny), {0xA4, 0x7C, 0xFF, 0x22, 0xFF}},
    {"Time", time_of_day(13, 45, 30, 99), {0xB4, 0x0D, 0x2D, 0x1E, 0x63}},
    {"TimeMidnight", time_of_day(0, 0, 0, 0), {0xB4, 0x00, 0x00, 0x00, 0x00}},
    {"TimeUnspecified", time_of_day(kAny, kAny, kAny, kAny), {0xB4, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"TimeAnyHour", time_of_day(kAny, 30, 0, kAny), {0xB4, 0xFF, 0x1E, 0x00, 0xFF}},
    {"ObjectIdDevice1234", object_id(8, 1234), {0xC4, 0x02, 0x00, 0x04, 0xD2}},
    {"ObjectIdOther50", object_id(50, 1), {0xC4, 0x0C, 0x80, 0x00, 0x01}},
    {"ObjectIdLargest", object_id(1023, 0x3FFFFF), {0xC4, 0xFF, 0xFF, 0xFF, 0xFF}},
};

INSTANTIATE_TEST_SUITE_P(Values, Encode, testing::ValuesIn(kEncodeCases),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Array and Any are only ever encoded: the decoder never produces them.
class EncodeComposite : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeComposite, WritesExactOctets) { expect_appends_exactly(GetParam()); }

const EncodeCase kCompositeCases[] = {
    {"ArrayEmpty", array({}), {}},
    {"Array", array({unsigned_value(1), PV{PV::Null{}}, array({PV{PV::Boolean{true}}})}), {0x21, 0x01, 0x00, 0x11}},
    {"AnyEmpty", {PV::Any{}}, {}},
    {"Any", {PV::Any{{0x3E, 0x29, 0x07, 0x3F}}}, {0x3E, 0x29, 0x07, 0x3F}},
};

INSTANTIATE_TEST_SUITE_P(Values, EncodeComposite, testing::ValuesIn(kCompositeCases),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Values the encoder narrows: they are written, but cannot come back as given.
// What senders refuse instead of letting the encoder narrow it.
TEST(EncodeRefusal, NamesEveryValueTheWireCannotCarry) {
  const std::pair<PV, const char*> cases[] = {
      {object_id(1023, 0x3FFFFF), nullptr},
      {object_id(1024, 1), "object identifier type 1024 is above 1023"},
      {object_id(8, 0x400000), "object identifier instance 4194304 is above 4194303"},
      {date(1900, 1, 1, kAny), nullptr},
      {date(2154, 1, 1, kAny), nullptr},
      {date(kAny, 1, 1, kAny), nullptr},
      {date(1899, 1, 1, kAny), "date year 1899 is outside 1900..2154"},
      {date(2155, 1, 1, kAny), "date year 2155 is outside 1900..2154"},
      {bit_string(7, {0x80}), nullptr},
      {bit_string(8, {0x80}), "bit string unused-bits count 8 is above 7"},
      {array({unsigned_value(1), array({bit_string(10, {})})}), "bit string unused-bits count 10 is above 7"},
      {{PV::Any{{0xC4, 0xFF, 0xFF, 0xFF, 0xFF}}}, nullptr},
  };
  for (const auto& [value, reason] : cases) {
    const auto refusal = encode_refusal(value);
    if (reason == nullptr) {
      EXPECT_FALSE(refusal) << *refusal;
    } else {
      EXPECT_EQ(refusal.value_or("(none)"), reason);
    }
  }
}

TEST(EncodeNarrowing, DateYearsOutsideTheWireRangeAreClamped) {
  EXPECT_EQ(encode(date(1899, 1, 1, std::nullopt)), (Bytes{0xA4, 0x00, 0x01, 0x01, 0xFF}));
  EXPECT_EQ(encode(date(0, 1, 1, std::nullopt)), (Bytes{0xA4, 0x00, 0x01, 0x01, 0xFF}));
  // 2155 would put 0xFF, the unspecified year, on the wire.
  EXPECT_EQ(encode(date(2155, 1, 1, std::nullopt)), (Bytes{0xA4, 0xFE, 0x01, 0x01, 0xFF}));
  EXPECT_EQ(encode(date(65535, 1, 1, std::nullopt)), (Bytes{0xA4, 0xFE, 0x01, 0x01, 0xFF}));
}

TEST(EncodeNarrowing, WeekdaysWithoutAWireFormAreUnspecified) {
  EXPECT_EQ(encode(date(2024, 3, 15, 7)), (Bytes{0xA4, 0x7C, 0x03, 0x0F, 0xFF}));
  EXPECT_EQ(encode(date(2024, 3, 15, 200)), (Bytes{0xA4, 0x7C, 0x03, 0x0F, 0xFF}));
}

TEST(EncodeNarrowing, ObjectIdentifierKeepsTenTypeBitsAndTwentyTwoInstanceBits) {
  EXPECT_EQ(encode(object_id(1024, 1)), (Bytes{0xC4, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(encode(object_id(1026, 0)), (Bytes{0xC4, 0x00, 0x80, 0x00, 0x00}));
  EXPECT_EQ(encode(object_id(8, 0x400001)), (Bytes{0xC4, 0x02, 0x00, 0x00, 0x01}));
}

// The header and length field before contents of every size class.
struct LengthCase {
  std::size_t content_octets;  // on the wire, after the length field
  Bytes header;                // for OctetString; the other tags differ only in the tag number
};

class ExtendedLength : public testing::TestWithParam<LengthCase> {};

TEST_P(ExtendedLength, IsWrittenForEveryVariableLengthTag) {
  const std::size_t n = GetParam().content_octets;
  const Bytes& header = GetParam().header;
  const auto with_tag = [&](std::uint8_t tag) {
    Bytes h = header;
    h[0] = static_cast<std::uint8_t>(tag << 4 | (h[0] & 0x0F));
    return h;
  };
  const Bytes octet_string = encode(octets(Bytes(n, 0x5A)));
  const Bytes character_string = encode(text(std::string(n - 1, 'x')));
  const Bytes bits = encode(bit_string(3, Bytes(n - 1, 0xF0)));
  const std::pair<const Bytes*, std::uint8_t> encodings[] = {{&octet_string, 6}, {&character_string, 7}, {&bits, 8}};
  for (const auto& [wire, tag] : encodings) {
    const Bytes expected_header = with_tag(tag);
    ASSERT_EQ(wire->size(), expected_header.size() + n) << "tag " << int{tag};
    EXPECT_TRUE(std::equal(expected_header.begin(), expected_header.end(), wire->begin())) << "tag " << int{tag};
  }
}

INSTANTIATE_TEST_SUITE_P(SizeClasses, ExtendedLength,
                         testing::Values(LengthCase{1, {0x61}}, LengthCase{4, {0x64}}, LengthCase{5, {0x65, 0x05}},
                                         LengthCase{253, {0x65, 0xFD}}, LengthCase{254, {0x65, 0xFE, 0x00, 0xFE}},
                                         LengthCase{65535, {0x65, 0xFE, 0xFF, 0xFF}},
                                         LengthCase{65536, {0x65, 0xFF, 0x00, 0x01, 0x00, 0x00}},
                                         LengthCase{70000, {0x65, 0xFF, 0x00, 0x01, 0x11, 0x70}}));

// ---------------------------------------------------------------------------
// Decoding of forms the encoder does not write.

struct DecodeCase {
  const char* name;
  Bytes wire;
  PV value;
  std::size_t consumed;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Decode : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, GivesValueAndConsumed) {
  const auto decoded = PV::decode(GetParam().wire);
  ASSERT_TRUE(decoded.ok()) << to_string(decoded.error());
  EXPECT_EQ(decoded->value, GetParam().value);
  EXPECT_EQ(decoded->consumed, GetParam().consumed);
  for (std::size_t n = 0; n < GetParam().consumed; ++n) {
    EXPECT_FALSE(PV::decode(std::span(GetParam().wire).first(n)).ok()) << "prefix of " << n << " octets decoded";
  }
}

const DecodeCase kDecodeCases[] = {
    {"NullIgnoresFollowing", {0x00, 0x21}, {PV::Null{}}, 1},
    {"BooleanTakesOneOctet", {0x10, 0x05}, {PV::Boolean{false}}, 1},
    {"UnsignedWithoutContent", {0x20, 0x05}, unsigned_value(0), 1},
    {"UnsignedWithoutContentAlone", {0x20}, unsigned_value(0), 1},
    {"UnsignedLeadingZeros", {0x24, 0x00, 0x00, 0x00, 0x07}, unsigned_value(7), 5},
    {"UnsignedExtendedLength", {0x25, 0x02, 0x01, 0x00}, unsigned_value(256), 4},
    {"UnsignedExtendedLength0", {0x25, 0x00, 0x21}, unsigned_value(0), 2},
    {"UnsignedExtendedLength2Octets", {0x25, 0xFE, 0x00, 0x02, 0x01, 0x00}, unsigned_value(256), 6},
    {"EnumeratedExtendedLength4", {0x95, 0x04, 0xDE, 0xAD, 0xBE, 0xEF}, enumerated(0xDEADBEEF), 6},
    {"SignedOneOctetNegative", {0x31, 0xFF}, signed_value(-1), 2},
    {"SignedTwoOctetsMinimum", {0x32, 0x80, 0x00}, signed_value(-32768), 3},
    {"SignedTwoOctetsNegative", {0x32, 0xFE, 0x20}, signed_value(-480), 3},
    {"SignedThreeOctetsNegative", {0x33, 0xFF, 0xFF, 0xFE}, signed_value(-2), 4},
    {"SignedWithoutContent", {0x30, 0x00}, signed_value(0), 1},
    {"SignedExtendedLength", {0x35, 0x01, 0x80}, signed_value(-128), 3},
    {"RealExtendedLength4", {0x45, 0x04, 0x3F, 0x80, 0x00, 0x00, 0x00}, {PV::Real{1.0f}}, 6},
    {"NullExtendedLength0", {0x05, 0x00, 0x00}, {PV::Null{}}, 2},
    {"OctetStringNonMinimalExtendedLength", {0x65, 0x03, 1, 2, 3, 9}, octets({1, 2, 3}), 5},
    {"OctetStringExtendedLength4Octets", {0x65, 0xFF, 0x00, 0x00, 0x00, 0x02, 7, 8}, octets({7, 8}), 8},
    {"CharacterStringWithoutCharset", {0x70, 0x41}, text(""), 1},
    {"CharacterStringOnlyCharset", {0x71, 0x04}, text("", 4), 2},
    {"CharacterStringInvalidUtf8", {0x73, 0x00, 0xFF, 0x41}, {PV::CharacterString{"\xEF\xBF\xBD" "A", 0, Bytes{0xFF, 0x41}}},
     4},
    {"CharacterStringTruncatedSequence", {0x73, 0x00, 0x41, 0xE2}, {PV::CharacterString{"A\xEF\xBF\xBD", 0, Bytes{0x41, 0xE2}}},
     4},
    {"CharacterStringObjectName",
     {0x75, 0x0B, 0x00, 'R', 'o', 'o', 'm', ' ', '1', '0', '1', '-', 'A'},
     text("Room 101-A"),
     13},
    {"BitStringOnlyUsedBits", {0x81, 0x05}, bit_string(5, {}), 2},
    {"DateWireWeekdayZeroIsUnspecified", {0xA4, 0x7C, 0x03, 0x0F, 0x00}, date(2024, 3, 15, std::nullopt), 5},
    {"DateWireWeekday8IsUnspecified", {0xA4, 0x7C, 0x03, 0x0F, 0x08}, date(2024, 3, 15, std::nullopt), 5},
    {"DateWireWeekday9IsUnspecified", {0xA4, 0x7C, 0x03, 0x0F, 0x09, 0x01}, date(2024, 3, 15, std::nullopt), 5},
    {"DateWireWeekday255IsUnspecified", {0xA4, 0x7C, 0x03, 0x0F, 0xFF}, date(2024, 3, 15, kAny), 5},
    {"TimeLast", {0xB4, 23, 59, 59, 99}, time_of_day(23, 59, 59, 99), 5},
    {"ObjectIdTopType", {0xC4, 0xFF, 0xC0, 0x00, 0x00}, object_id(1023, 0), 5},
};

INSTANTIATE_TEST_SUITE_P(Forms, Decode, testing::ValuesIn(kDecodeCases),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

struct ErrorCase {
  const char* name;
  Bytes wire;
  DecodeError error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class DecodeFails : public testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeFails, WithKind) {
  const auto decoded = PV::decode(GetParam().wire);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error(), GetParam().error) << to_string(decoded.error());
}

using E = DecodeError;

const ErrorCase kErrorCases[] = {
    {"Empty", {}, E::IncompleteData},
    {"ContextTag2", {0x29, 0x01}, E::InvalidContextTag},
    {"ContextTag0", {0x08}, E::InvalidContextTag},
    {"OpeningTag", {0x3E}, E::InvalidContextTag},
    {"Tag13", {0xD0}, E::UnsupportedApplicationTag},
    {"Tag14", {0xE0}, E::UnsupportedApplicationTag},
    {"ExtendedTagNumber", {0xF0, 0x20}, E::UnsupportedApplicationTag},
    {"BooleanLvt2", {0x12}, E::InvalidData},
    {"BooleanLvt5", {0x15, 0x01, 0x01}, E::InvalidData},
    {"UnsignedLvt6", {0x26, 0, 0, 0, 0, 0, 0}, E::InvalidData},
    {"UnsignedLvt7", {0x27, 0x21, 0x01}, E::InvalidData},
    {"SignedLvt6", {0x36, 0, 0, 0, 0, 0, 0}, E::InvalidData},
    {"EnumeratedLvt7", {0x97, 0x91, 0x01}, E::InvalidData},
    {"OctetStringLvt6", {0x66, 1, 2, 3, 4, 5, 6}, E::InvalidData},
    {"CharacterStringLvt7", {0x77, 0x00}, E::InvalidData},
    {"BitStringLvt6", {0x86, 0, 1, 2, 3, 4, 5}, E::InvalidData},
    {"DoubleLvt6", {0x56, 0, 0, 0, 0, 0, 0, 0, 0, 0}, E::InvalidData},
    {"UnsignedFiveOctets", {0x25, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01}, E::InvalidData},
    {"SignedFiveOctets", {0x35, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, E::InvalidData},
    {"EnumeratedEightOctets", {0x95, 0x08, 0, 0, 0, 0, 0, 0, 0, 1}, E::InvalidData},
    {"UnsignedHugeLengthIsNotTruncated", {0x25, 0xFF, 0x00, 0x00, 0x01, 0x00}, E::InvalidData},
    {"DoubleLength4", {0x54, 0x3F, 0x80, 0x00, 0x00}, E::InvalidData},
    {"DoubleExtendedLength9", {0x55, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0}, E::InvalidData},
    {"DoubleWithoutLengthOctet", {0x55}, E::IncompleteData},
    {"DoubleShort", {0x55, 0x08, 0x3F, 0xF0, 0, 0, 0, 0, 0}, E::IncompleteData},
    {"BitStringWithoutUsedBits", {0x80, 0x00}, E::InvalidData},
    {"BitStringExtendedLength0", {0x85, 0x00}, E::InvalidData},
    {"ExtendedLengthMissing", {0x65}, E::IncompleteData},
    {"ExtendedLength2Cut", {0x65, 0xFE, 0x01}, E::IncompleteData},
    {"ExtendedLength4Cut", {0x75, 0xFF, 0x00, 0x00, 0x01}, E::IncompleteData},
    {"ExtendedLengthPastInput", {0x65, 0x0A, 1, 2, 3}, E::IncompleteData},
    {"ExtendedLength4GiBPastInput", {0x65, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, E::IncompleteData},
    {"ExtendedLength64KiBPastInput", {0x75, 0xFE, 0xFF, 0xFF, 0x00, 'a'}, E::IncompleteData},
    {"UnsignedShort", {0x22, 0x01}, E::IncompleteData},
    {"UnsignedExtendedShort", {0x25, 0x03, 0x01, 0x02}, E::IncompleteData},
    {"SignedShort", {0x34, 0xFF, 0xFF, 0xFF}, E::IncompleteData},
    {"OctetStringShort", {0x63, 1, 2}, E::IncompleteData},
    {"CharacterStringShort", {0x74, 0x00, 'a'}, E::IncompleteData},
    {"RealShort", {0x44, 0, 0, 0}, E::IncompleteData},
    {"DateShort", {0xA4, 0x7C, 0x03, 0x0F}, E::IncompleteData},
    {"TimeShort", {0xB4, 0x01}, E::IncompleteData},
    {"ObjectIdShort", {0xC4, 0x02, 0x00, 0x04}, E::IncompleteData},
    {"DateMonth0", {0xA4, 0x7C, 0x00, 0x0F, 0xFF}, E::InvalidDate},
    {"DateMonth15", {0xA4, 0x7C, 0x0F, 0x0F, 0xFF}, E::InvalidDate},
    {"DateMonth254", {0xA4, 0x7C, 0xFE, 0x0F, 0xFF}, E::InvalidDate},
    {"DateDay0", {0xA4, 0x7C, 0x03, 0x00, 0xFF}, E::InvalidDate},
    {"DateDay35", {0xA4, 0x7C, 0x03, 0x23, 0xFF}, E::InvalidDate},
    {"TimeHour24", {0xB4, 24, 0, 0, 0}, E::InvalidTime},
    {"TimeMinute60", {0xB4, 23, 60, 0, 0}, E::InvalidTime},
    {"TimeSecond60", {0xB4, 23, 59, 60, 0}, E::InvalidTime},
    {"TimeHundredths100", {0xB4, 23, 59, 59, 100}, E::InvalidTime},
    {"TimeHour254", {0xB4, 0xFE, 0, 0, 0}, E::InvalidTime},
    // Fixed-size values whose length field gives another size are misframed,
    // not shorter or longer values followed by something else.
    {"NullLength1", {0x01, 0x00}, E::InvalidData},
    {"NullExtendedLength1", {0x05, 0x01, 0x00}, E::InvalidData},
    {"RealLength3", {0x43, 0x3F, 0x80, 0x00, 0x00}, E::InvalidData},
    {"RealExtendedLength5", {0x45, 0x05, 0x41, 0xB4, 0x00, 0x00, 0x00}, E::InvalidData},
    {"RealLvt6", {0x46, 0x41, 0xB4, 0x00, 0x00, 0x00, 0x00}, E::InvalidData},
    {"DateLength0", {0xA0, 0x7C, 0x03, 0x0F, 0x01}, E::InvalidData},
    {"DateLength5", {0xA5, 0x05, 0x7C, 0x03, 0x0F, 0x01, 0x00}, E::InvalidData},
    {"TimeLength3", {0xB3, 0x01, 0x02, 0x03, 0x04}, E::InvalidData},
    {"ObjectIdLength2", {0xC2, 0x02, 0x00, 0x04, 0xD2}, E::InvalidData},
    {"ObjectIdExtendedLength8", {0xC5, 0x08, 0x02, 0x00, 0x04, 0xD2, 0, 0, 0, 0}, E::InvalidData},
};

INSTANTIATE_TEST_SUITE_P(Malformed, DecodeFails, testing::ValuesIn(kErrorCases),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// ---------------------------------------------------------------------------
// Round trips over generated values.

// Encodes, puts an unrelated octet after the value, decodes.
void expect_round_trip(const PV& value) {
  Bytes wire = encode(value);
  const std::size_t written = wire.size();
  wire.push_back(0x3F);
  const auto decoded = PV::decode(wire);
  ASSERT_TRUE(decoded.ok()) << to_string(decoded.error()) << " for " << testing::PrintToString(value);
  ASSERT_TRUE(identical(decoded->value, value)) << testing::PrintToString(value) << " came back as "
                                                << testing::PrintToString(decoded->value);
  ASSERT_EQ(decoded->consumed, written) << testing::PrintToString(value);
}

class RoundTrip : public testing::Test {
 protected:
  std::mt19937 random_{20240315};

  std::uint32_t random_u32() { return static_cast<std::uint32_t>(random_()); }
  std::uint8_t random_octet() { return static_cast<std::uint8_t>(random_() & 0xFF); }
  Bytes random_octets(std::size_t n) {
    Bytes out(n);
    for (auto& b : out) b = random_octet();
    return out;
  }

  // Well-formed UTF-8 of exactly n octets, mixing sequences of 1 to 4 octets.
  std::string random_text(std::size_t n) {
    std::string out;
    while (out.size() < n) {
      const std::size_t room = n - out.size();
      const std::uint32_t kind = random_u32() % 4;
      if (kind == 3 && room >= 4) {
        append_code_point(out, 0x10000 + random_u32() % 0x100000);
      } else if (kind == 2 && room >= 3) {
        std::uint32_t cp = 0x800 + random_u32() % (0x10000 - 0x800);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;  // no surrogates
        append_code_point(out, cp);
      } else if (kind == 1 && room >= 2) {
        append_code_point(out, 0x80 + random_u32() % (0x800 - 0x80));
      } else {
        append_code_point(out, random_u32() % 0x80);
      }
    }
    return out;
  }

  static void append_code_point(std::string& out, std::uint32_t cp) {
    const auto put = [&out](std::uint32_t b) { out.push_back(static_cast<char>(b)); };
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
};

const std::vector<std::size_t> kLengths = [] {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {1000, 65533, 65534, 65535, 65536, 65537, 70000}) lengths.push_back(n);
  return lengths;
}();

TEST_F(RoundTrip, NullAndBoolean) {
  expect_round_trip({PV::Null{}});
  expect_round_trip({PV::Boolean{false}});
  expect_round_trip({PV::Boolean{true}});
}

TEST_F(RoundTrip, UnsignedAndEnumerated) {
  std::vector<std::uint32_t> values = {0, 1, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0x10000, 0xFFFFFF, 0x1000000, 0xFFFFFFFF};
  for (int i = 0; i < 20000; ++i) values.push_back(random_u32() >> (random_u32() % 32));
  for (std::uint32_t v : values) {
    expect_round_trip(unsigned_value(v));
    expect_round_trip(enumerated(v));
  }
}

TEST_F(RoundTrip, Signed) {
  std::vector<std::int32_t> values = {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
  for (std::int32_t edge : {0, 1, 127, 128, 255, 256, 32767, 32768, 65535, 8388607, 8388608, 8388609}) {
    for (std::int32_t delta : {-1, 0, 1}) {
      values.push_back(edge + delta);
      values.push_back(-(edge + delta));
    }
  }
  for (int i = 0; i < 20000; ++i) {
    values.push_back(static_cast<std::int32_t>(random_u32()) >> (random_u32() % 32));
  }
  for (std::int32_t v : values) expect_round_trip(signed_value(v));
}

TEST_F(RoundTrip, RealKeepsEveryBitPattern) {
  std::vector<std::uint32_t> patterns = {
      0x00000000, 0x80000000,  // +0, -0
      0x7F800000, 0xFF800000,  // +inf, -inf
      0x7FC00000, 0xFFC00000,  // quiet NaNs
      0x7F800001, 0x7FBFFFFF,  // signalling NaNs
      0x7FC12345,              // NaN with payload
      0x00000001, 0x807FFFFF,  // subnormals
      0x7F7FFFFF, 0xFF7FFFFF,  // largest magnitudes
  };
  for (int i = 0; i < 20000; ++i) patterns.push_back(random_u32());
  for (std::uint32_t bits : patterns) expect_round_trip({PV::Real{std::bit_cast<float>(bits)}});
}

TEST_F(RoundTrip, DoubleKeepsEveryBitPattern) {
  std::vector<std::uint64_t> patterns = {
      0x0000000000000000, 0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000,
      0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0x7FF4000000000000,
      0x7FF8DEADBEEF0001, 0x0000000000000001, 0x800FFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF,
  };
  for (int i = 0; i < 20000; ++i) patterns.push_back(std::uint64_t{random_u32()} << 32 | random_u32());
  for (std::uint64_t bits : patterns) expect_round_trip({PV::Double{std::bit_cast<double>(bits)}});
}

TEST_F(RoundTrip, OctetStringsOfEveryLengthClass) {
  for (std::size_t n : kLengths) expect_round_trip(octets(random_octets(n)));
}

TEST_F(RoundTrip, CharacterStringsOfEveryLengthClass) {
  // The character sets that can hold any text.
  static constexpr std::uint8_t kCharsets[] = {0, 3, 4};
  for (std::size_t n : kLengths) expect_round_trip(text(random_text(n), kCharsets[random_octet() % 3]));
}

TEST_F(RoundTrip, BitStringsOfEveryLengthClass) {
  for (std::size_t n : kLengths) expect_round_trip(bit_string(random_octet(), random_octets(n)));
}

// Every field value, unspecified and special months and days included.
TEST_F(RoundTrip, EveryDate) {
  std::vector<Field> weekdays = {kAny};
  for (std::uint8_t w = 0; w <= 6; ++w) weekdays.push_back(w);
  std::vector<std::optional<std::uint16_t>> years = {std::nullopt};
  for (std::uint16_t year = 1900; year <= 2154; ++year) years.push_back(year);
  for (const auto& year : years) {
    for (std::uint8_t month = 1; month <= 15; ++month) {
      for (std::uint8_t day = 1; day <= 35; ++day) {
        // 15 and 35 stand for the unspecified month and day.
        const Field m = month == 15 ? kAny : Field(month);
        const Field d = day == 35 ? kAny : Field(day);
        for (const auto& weekday : weekdays) expect_round_trip(date(year, m, d, weekday));
      }
    }
  }
}

// Every time of day, one test per hour (360 000 values each).
class EveryTimeInHour : public testing::TestWithParam<int> {};

TEST_P(EveryTimeInHour, RoundTrips) {
  const auto h = static_cast<std::uint8_t>(GetParam());
  Bytes wire;  // reused: no allocation per value
  for (std::uint8_t m = 0; m <= 59; ++m) {
    for (std::uint8_t s = 0; s <= 59; ++s) {
      for (std::uint8_t c = 0; c <= 99; ++c) {
        const PV value = time_of_day(h, m, s, c);
        wire.clear();
        value.encode_tag_and_value(wire);
        const auto decoded = PV::decode(wire);
        ASSERT_TRUE(decoded.ok() && decoded->value == value && decoded->consumed == wire.size())
            << int{h} << ':' << int{m} << ':' << int{s} << '.' << int{c};
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RoundTrip, EveryTimeInHour, testing::Range(0, 24));

TEST_F(RoundTrip, ObjectIdentifiersOfEveryWireType) {
  for (std::uint16_t type = 0; type < 1024; ++type) {
    for (std::uint32_t instance : {0u, 1u, 0x3FFFFFu, random_u32() & 0x3FFFFFu}) {
      expect_round_trip(object_id(type, instance));
    }
  }
}

}  // namespace
}  // namespace ferromesh
