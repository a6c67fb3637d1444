#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "services/read_property.hpp"
#include "services/write_property.hpp"

namespace ferromesh::services {
namespace {

using PV = PropertyValue;

PropertyValue pv(PV::Variant v) { return PropertyValue{std::move(v)}; }
Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

const ObjectIdentifier kDevice1234{ObjectType::from_u16(8), 1234};
const Bytes kObjectAndProperty{0x0C, 0x02, 0x00, 0x04, 0xD2, 0x19, 0x55};  // (8, 1234), property 85
const Bytes kReal72_5{0x44, 0x42, 0x91, 0x00, 0x00};

// ---- request ----

struct RequestCase {
  const char* name;
  ObjectIdentifier object_id;
  std::uint32_t property;
  std::optional<std::uint32_t> array_index;
  Bytes expected;
  friend void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }
};

class ReadPropertyRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(ReadPropertyRequest, EncodesExactOctets) {
  const RequestCase& c = GetParam();
  EXPECT_EQ(read_property::encode_request(c.object_id, PropertyIdentifier::from_u32(c.property), c.array_index),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ReadPropertyRequest,
    testing::Values(
        RequestCase{"no_index", kDevice1234, 85, std::nullopt, kObjectAndProperty},
        RequestCase{"index_0", kDevice1234, 85, 0, concat(kObjectAndProperty, {0x29, 0x00})},
        RequestCase{"index_256", kDevice1234, 85, 256, concat(kObjectAndProperty, {0x2A, 0x01, 0x00})},
        RequestCase{"index_max", kDevice1234, 85, 0xFFFFFFFF,
                    concat(kObjectAndProperty, {0x2C, 0xFF, 0xFF, 0xFF, 0xFF})},
        RequestCase{"property_512", kDevice1234, 512, std::nullopt, {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1A, 0x02, 0x00}},
        RequestCase{"property_max", kDevice1234, 0xFFFFFFFF, std::nullopt,
                    {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1C, 0xFF, 0xFF, 0xFF, 0xFF}},
        RequestCase{"instance_wraps_at_22_bits", {ObjectType::from_u16(8), 0x400000}, 85, std::nullopt,
                    {0x0C, 0x02, 0x00, 0x00, 0x00, 0x19, 0x55}},
        RequestCase{"type_wraps_at_10_bits", {ObjectType::from_u16(1025), 5}, 85, std::nullopt,
                    {0x0C, 0x00, 0x40, 0x00, 0x05, 0x19, 0x55}}));

// ---- acknowledgement ----

struct AckCase {
  const char* name;
  Bytes octets;
  ReadPropertyResult expected;
  friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }
};

const PropertyIdentifier kPresentValue = PropertyIdentifier::from_u32(85);

const AckCase kValidAcks[] = {
    {"single_real", concat(concat(kObjectAndProperty, {0x3E}), concat(kReal72_5, {0x3F})),
     {kDevice1234, kPresentValue, std::nullopt, pv(PV::Real{72.5f})}},
    {"array_index", concat(concat(kObjectAndProperty, {0x29, 0x02, 0x3E}), concat(kReal72_5, {0x3F})),
     {kDevice1234, kPresentValue, 2, pv(PV::Real{72.5f})}},
    {"two_values_form_an_array", concat(kObjectAndProperty, {0x3E, 0x21, 0x01, 0x21, 0x02, 0x3F}),
     {kDevice1234, kPresentValue, std::nullopt, pv(PV::Array{{pv(PV::Unsigned{1}), pv(PV::Unsigned{2})}})}},
    {"no_values_form_an_empty_array", concat(kObjectAndProperty, {0x3E, 0x3F}),
     {kDevice1234, kPresentValue, std::nullopt, pv(PV::Array{})}},
    {"zero_length_numbers_and_widest_numbers",
     {0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0x18, 0x2C, 0xFF, 0xFF, 0xFF, 0xFF, 0x3E, 0x00, 0x3F},
     {{ObjectType::from_u16(1023), 0x3FFFFF}, PropertyIdentifier::from_u32(0), 0xFFFFFFFF, pv(PV::Null{})}},
    // An object name as a real device sends it: a character string of 13 octets.
    {"long_character_string",
     {0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x4D, 0x3E, 0x75, 0x0D, 0x00, 'S', 'e', 'n', 's', 'o', 'r', '_', '4', '5',
      '3', '1', '2', 0x3F},
     {{ObjectType::from_u16(0), 1}, PropertyIdentifier::from_u32(77), std::nullopt,
      pv(PV::CharacterString{"Sensor_45312", 0})}},
};

class ReadPropertyAck : public testing::TestWithParam<AckCase> {};

TEST_P(ReadPropertyAck, Decodes) {
  const auto result = read_property::decode_response(GetParam().octets);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), GetParam().expected);
}

TEST_P(ReadPropertyAck, IgnoresOctetsAfterClosingTag) {
  const auto result = read_property::decode_response(concat(GetParam().octets, {0x3F, 0xFF, 0x0C}));
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), GetParam().expected);
}

TEST_P(ReadPropertyAck, EveryStrictPrefixFails) {
  const Bytes& octets = GetParam().octets;
  for (std::size_t length = 0; length < octets.size(); ++length) {
    EXPECT_FALSE(read_property::decode_response(std::span(octets).first(length)).ok()) << "prefix " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Valid, ReadPropertyAck, testing::ValuesIn(kValidAcks));

struct MalformedCase {
  const char* name;
  Bytes octets;
  DecodeError expected;
  friend void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }
};

class ReadPropertyAckMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(ReadPropertyAckMalformed, FailsWithExactKind) {
  const auto result = read_property::decode_response(GetParam().octets);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(to_string(result.error()), to_string(GetParam().expected));
}

using E = DecodeError;
INSTANTIATE_TEST_SUITE_P(
    Malformed, ReadPropertyAckMalformed,
    testing::Values(
        MalformedCase{"empty", {}, E::IncompleteData},
        MalformedCase{"wrong_first_octet", {0x0D, 0x02, 0x00, 0x04, 0xD2, 0x19, 0x55, 0x3E, 0x00, 0x3F},
                      E::InvalidContextTag},
        MalformedCase{"object_id_cut", {0x0C, 0x02, 0x00, 0x04}, E::IncompleteData},
        MalformedCase{"ends_after_object_id", {0x0C, 0x02, 0x00, 0x04, 0xD2}, E::IncompleteData},
        MalformedCase{"property_under_tag_2", {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x29, 0x55, 0x3E, 0x00, 0x3F},
                      E::InvalidContextTag},
        MalformedCase{"property_cut", {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1A, 0x55}, E::IncompleteData},
        MalformedCase{"ends_after_property", kObjectAndProperty, E::InvalidContextTag},
        MalformedCase{"ends_after_index", concat(kObjectAndProperty, {0x29, 0x02}), E::InvalidContextTag},
        MalformedCase{"index_cut", concat(kObjectAndProperty, {0x2A, 0x01}), E::IncompleteData},
        MalformedCase{"closing_instead_of_opening", concat(kObjectAndProperty, {0x3F, 0x00, 0x3F}),
                      E::InvalidContextTag},
        MalformedCase{"no_closing_tag", concat(concat(kObjectAndProperty, {0x3E}), kReal72_5), E::IncompleteData},
        MalformedCase{"stray_closing_tag_inside_brackets", concat(kObjectAndProperty, {0x3E, 0x29, 0x00, 0x2F, 0x3F}),
                      E::InvalidContextTag},
        MalformedCase{"unknown_application_tag", concat(kObjectAndProperty, {0x3E, 0xD0, 0x3F}),
                      E::UnsupportedApplicationTag},
        // Numbers wider than 32 bits are refused, never truncated.
        MalformedCase{"property_length_5",
                      {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1D, 0x01, 0x00, 0x00, 0x00, 0x55, 0x3E, 0x00, 0x3F},
                      E::InvalidData},
        MalformedCase{"opening_tag_as_property", {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x00, 0x3F}, E::InvalidData},
        MalformedCase{"index_length_5", concat(kObjectAndProperty, {0x2D, 0x00, 0x00, 0x00, 0x00, 0x02, 0x3E, 0x00, 0x3F}),
                      E::InvalidData},
        // Length 6 is an opening tag 2, not an index, and not the expected opening tag 3 either.
        MalformedCase{"opening_tag_2_after_property", concat(kObjectAndProperty, {0x2E, 0x00, 0x2F, 0x3E, 0x00, 0x3F}),
                      E::InvalidContextTag}));

// ---- WriteProperty parameters read back as a ReadProperty-ACK ----
// Both share the layout object, property, [index], 3E value 3F; the priority
// after 3F is ignored like any trailing octet.

struct RoundTripCase {
  const char* name;
  PropertyValue value;
  friend void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }
};

class WriteThenRead : public testing::TestWithParam<RoundTripCase> {};

TEST_P(WriteThenRead, ValueSurvives) {
  const PropertyValue& value = GetParam().value;
  const Bytes request = write_property::encode_request(kDevice1234, kPresentValue, value, 7, 16);
  const auto result = read_property::decode_response(request);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), (ReadPropertyResult{kDevice1234, kPresentValue, 7, value}));
}

INSTANTIATE_TEST_SUITE_P(
    Values, WriteThenRead,
    testing::Values(RoundTripCase{"null", pv(PV::Null{})}, RoundTripCase{"false", pv(PV::Boolean{false})},
                    RoundTripCase{"unsigned_max", pv(PV::Unsigned{0xFFFFFFFF})},
                    RoundTripCase{"signed_neg", pv(PV::Signed{-480})}, RoundTripCase{"double", pv(PV::Double{-0.125})},
                    RoundTripCase{"long_text", pv(PV::CharacterString{"Zone 4 supply air temperature", 0})},
                    RoundTripCase{"bits", pv(PV::BitString{4, {0xF0}})},
                    RoundTripCase{"date", pv(PV::Date{2024, 3, 15, 4})},
                    RoundTripCase{"object_id", pv(PV::ObjectIdentifier{ObjectType::from_u16(2), 0x3FFFFF})},
                    RoundTripCase{"array", pv(PV::Array{{pv(PV::Real{1.5f}), pv(PV::Null{}), pv(PV::Unsigned{3})}})},
                    RoundTripCase{"empty_array", pv(PV::Array{})}));

}  // namespace
}  // namespace ferromesh::services
