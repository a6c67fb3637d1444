#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codec/elements.hpp"

namespace ferromesh {
namespace {

using PV = PropertyValue;
using E = DecodeError;

PV context(std::uint8_t tag, Bytes data) { return {PV::Context{tag, std::move(data)}}; }
PV constructed(std::uint8_t tag, std::vector<PV> values) { return {PV::Constructed{tag, std::move(values)}}; }
PV unsigned_value(std::uint32_t v) { return {PV::Unsigned{v}}; }

// `depth` opening tags 0 around Null, then their closing tags.
Bytes nested(std::size_t depth) {
  Bytes out(depth, 0x0E);
  out.push_back(0x00);
  out.insert(out.end(), depth, 0x0F);
  return out;
}

struct ElementCase {
  const char* name;
  Bytes wire;  // one element, canonically encoded
  PV value;
};

void PrintTo(const ElementCase& c, std::ostream* os) { *os << c.name; }

const ElementCase kElementCases[] = {
    {"ContextUnsigned", {0x09, 0x05}, context(0, {5})},
    {"ContextEmpty", {0x28}, context(2, {})},
    {"ContextExtendedLength", {0x1D, 0x06, 1, 2, 3, 4, 5, 6}, context(1, {1, 2, 3, 4, 5, 6})},
    {"ContextExtendedTagNumber", {0xF9, 0x20, 0x07}, context(32, {7})},
    {"ContextTag254", {0xF8, 0xFE}, context(254, {})},
    {"ConstructedEmpty", {0x2E, 0x2F}, constructed(2, {})},
    {"ConstructedExtendedTagNumber", {0xFE, 0x0F, 0x21, 0x01, 0xFF, 0x0F}, constructed(15, {unsigned_value(1)})},
    // A weekly-schedule day: one BACnetTimeValue, 08:00 -> Real 21.
    {"DailySchedule",
     {0x0E, 0xB4, 0x08, 0x00, 0x00, 0x00, 0x44, 0x41, 0xA8, 0x00, 0x00, 0x0F},
     constructed(0, {{PV::Time{8, 0, 0, 0}}, {PV::Real{21.0f}}})},
    // A log record: time stamp [0], datum [1] holding real-value [2], status flags [2].
    {"LogRecordParts",
     {0x0E, 0x1E, 0x0E, 0x09, 0x01, 0x0F, 0x1F, 0x0F},
     constructed(0, {constructed(1, {constructed(0, {context(0, {1})})})})},
    {"Nested32", nested(32), [] {
       PV value{PV::Null{}};
       for (int i = 0; i < 32; ++i) value = constructed(0, {std::move(value)});
       return value;
     }()},
};

class Elements : public testing::TestWithParam<ElementCase> {};

TEST_P(Elements, DecodeWhollyAndWriteBackOctetForOctet) {
  const auto& c = GetParam();
  Bytes wire = c.wire;
  wire.push_back(0x3F);  // what follows is left alone
  const auto decoded = decode_element(wire);
  ASSERT_TRUE(decoded.ok()) << to_string(decoded.error());
  EXPECT_EQ(decoded->value, c.value);
  EXPECT_EQ(decoded->consumed, c.wire.size());
  Bytes written;
  c.value.encode_tag_and_value(written);
  EXPECT_EQ(written, c.wire);
}

TEST_P(Elements, EveryStrictPrefixFails) {
  const auto& wire = GetParam().wire;
  for (std::size_t n = 0; n < wire.size(); ++n) {
    EXPECT_FALSE(decode_element(std::span(wire).first(n)).ok()) << "prefix of " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, Elements, testing::ValuesIn(kElementCases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct BadCase {
  const char* name;
  Bytes wire;
  DecodeError error;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadElements : public testing::TestWithParam<BadCase> {};

TEST_P(BadElements, FailWithKind) {
  const auto decoded = decode_element(GetParam().wire);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error(), GetParam().error) << to_string(decoded.error());
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, BadElements,
    testing::Values(BadCase{"StrayClosingTag", {0x1F}, E::InvalidContextTag},
                    BadCase{"MismatchedClosingTag", {0x1E, 0x21, 0x01, 0x2F}, E::InvalidContextTag},
                    BadCase{"MismatchedExtendedClosingTag", {0xFE, 0x10, 0xFF, 0x11}, E::InvalidContextTag},
                    BadCase{"Unclosed", {0x1E, 0x21, 0x01}, E::IncompleteData},
                    BadCase{"ExtendedFormOfShortTagNumber", {0xF9, 0x03, 0x00}, E::InvalidTagNumber},
                    BadCase{"ReservedTagNumber", {0xF9, 0xFF, 0x00}, E::InvalidTagNumber},
                    BadCase{"DataPastTheEnd", {0x0A, 0x01}, E::IncompleteData},
                    BadCase{"HugeExtendedLength", {0x0D, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, E::IncompleteData},
                    BadCase{"UnknownApplicationTagInside", {0x0E, 0xD0, 0x0F}, E::UnsupportedApplicationTag},
                    BadCase{"Nested33", nested(33), E::InvalidData},
                    BadCase{"DeepWithoutEnd", Bytes(100000, 0x0E), E::InvalidData}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(DecodeContextAs, ReadsTheContentAsTheApplicationTypeWould) {
  EXPECT_EQ(decode_context_as({0, {12, 30, 0, 0}}, 11).value(), (PV{PV::Time{12, 30, 0, 0}}));
  EXPECT_EQ(decode_context_as({2, {0x41, 0xA8, 0, 0}}, 4).value(), (PV{PV::Real{21.0f}}));
  EXPECT_EQ(decode_context_as({1, {0x01, 0x00}}, 2).value(), unsigned_value(256));
  EXPECT_EQ(decode_context_as({1, {1}}, 1).value(), (PV{PV::Boolean{true}}));
  EXPECT_EQ(decode_context_as({7, {}}, 0).value(), (PV{PV::Null{}}));
  EXPECT_EQ(decode_context_as({1, {2}}, 1).error(), E::InvalidData);
  // A Time is four octets: shorter or longer is misframed.
  EXPECT_EQ(decode_context_as({0, {12, 30, 0}}, 11).error(), E::InvalidData);
  EXPECT_EQ(decode_context_as({0, {12, 30, 0, 0, 0}}, 11).error(), E::InvalidData);
  EXPECT_EQ(decode_context_as({0, {}}, 13).error(), E::UnsupportedApplicationTag);
}

TEST(ReadElements, StopAfterTheirClosingTag) {
  const Bytes wire = {0x09, 0x01, 0x1E, 0x1F, 0x5F, 0x00};
  SpanReader in(wire);
  const auto values = read_elements(in, 5);
  ASSERT_TRUE(values.ok());
  EXPECT_EQ(values.value(), (std::vector<PV>{context(0, {1}), constructed(1, {})}));
  EXPECT_EQ(in.position(), 5u);
}

}  // namespace
}  // namespace ferromesh
