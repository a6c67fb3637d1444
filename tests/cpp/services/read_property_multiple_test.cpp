#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "services/read_property_multiple.hpp"

namespace ferromesh::services {
namespace {

using PV = PropertyValue;

PropertyValue pv(PV::Variant v) { return PropertyValue{std::move(v)}; }
PropertyIdentifier prop(std::uint32_t number) { return PropertyIdentifier::from_u32(number); }
Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

const ObjectIdentifier kDevice1234{ObjectType::from_u16(8), 1234};
const ObjectIdentifier kAnalogInput5{ObjectType::from_u16(0), 5};

// ---- request ----

struct RequestCase {
  const char* name;
  std::vector<ReadAccessSpec> specs;
  Bytes expected;
  friend void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }
};

class ReadPropertyMultipleRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(ReadPropertyMultipleRequest, EncodesExactOctets) {
  EXPECT_EQ(read_property_multiple::encode_request(GetParam().specs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ReadPropertyMultipleRequest,
    testing::Values(
        RequestCase{"two_properties",
                    {{kDevice1234, {{prop(75), std::nullopt}, {prop(77), std::nullopt}}}},
                    {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x09, 0x4B, 0x09, 0x4D, 0x1F}},
        RequestCase{"index_follows_its_property",
                    {{kDevice1234, {{prop(75), 2}, {prop(77), std::nullopt}}}},
                    {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x09, 0x4B, 0x19, 0x02, 0x09, 0x4D, 0x1F}},
        RequestCase{"no_specs", {}, {}},
        RequestCase{"spec_without_properties", {{kDevice1234, {}}}, {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x1F}},
        RequestCase{"specs_back_to_back_with_wide_numbers",
                    {{kDevice1234, {{prop(0xFFFFFFFF), 65536}}}, {kAnalogInput5, {{prop(256), 0xFFFFFF}}}},
                    {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0x1B, 0x01, 0x00, 0x00, 0x1F,
                     0x0C, 0x00, 0x00, 0x00, 0x05, 0x1E, 0x0A, 0x01, 0x00, 0x1B, 0xFF, 0xFF, 0xFF, 0x1F}}));

// ---- acknowledgement ----

// (8, 1234): object-identifier 75 read, object-name 77 failed with class 2, code 32.
const Bytes kValueAndError{0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x29, 0x4B, 0x4E, 0xC4, 0x02, 0x00,
                           0x04, 0xD2, 0x4F, 0x29, 0x4D, 0x5E, 0x91, 0x02, 0x91, 0x20, 0x5F, 0x1F};
const ObjectResult kValueAndErrorResult{kDevice1234,
                                        {{prop(75), std::nullopt, pv(kDevice1234)},
                                         {prop(77), std::nullopt, BacnetPropertyError{2, 32}}}};
// The same property 85 = 72.5 in the wrapped layout, each result inside tag 2.
const Bytes kWrapped{0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x2E, 0x09, 0x55, 0x4E,
                     0x44, 0x42, 0x91, 0x00, 0x00, 0x4F, 0x2F, 0x1F};

struct AckCase {
  const char* name;
  Bytes octets;
  std::vector<ObjectResult> expected;
  // Lengths at which the input ends after a whole object; there a prefix is
  // itself a valid acknowledgement of the objects before it.
  std::vector<std::size_t> object_ends;
  friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }
};

const AckCase kValidAcks[] = {
    {"value_and_error", kValueAndError, {kValueAndErrorResult}, {}},
    {"wrapped", kWrapped, {{kDevice1234, {{prop(85), std::nullopt, pv(PV::Real{72.5f})}}}}, {}},
    {"wrapped_error_with_index",
     {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x2E, 0x09, 0x55, 0x19, 0x03, 0x5E, 0x91, 0x01, 0x91, 0x1F, 0x5F, 0x2F,
      0x1F},
     {{kDevice1234, {{prop(85), 3, BacnetPropertyError{1, 31}}}}},
     {}},
    // Error class and code are Enumerated; the class bit is not examined.
    {"error_with_class_bit",
     {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x29, 0x4D, 0x5E, 0x99, 0x02, 0x98, 0x5F, 0x1F},
     {{kDevice1234, {{prop(77), std::nullopt, BacnetPropertyError{2, 0}}}}},
     {}},
    {"index_values_and_wide_numbers",
     {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x2C, 0xFF, 0xFF, 0xFF, 0xFF, 0x39, 0x00, 0x4E, 0x21, 0x01, 0x21, 0x02,
      0x4F, 0x2A, 0x01, 0x00, 0x3C, 0x00, 0x01, 0x00, 0x00, 0x4E, 0x4F, 0x1F},
     {{kDevice1234,
       {{prop(0xFFFFFFFF), 0, pv(PV::Array{{pv(PV::Unsigned{1}), pv(PV::Unsigned{2})}})},
        {prop(256), 65536, pv(PV::Array{})}}}},
     {}},
    {"object_without_results", {0x0C, 0x00, 0x00, 0x00, 0x05, 0x1E, 0x1F}, {{kAnalogInput5, {}}}, {}},
    {"objects_back_to_back",
     concat(kValueAndError, {0x0C, 0x00, 0x00, 0x00, 0x05, 0x1E, 0x1F}),
     {kValueAndErrorResult, {kAnalogInput5, {}}},
     {kValueAndError.size()}},
};

class ReadPropertyMultipleAck : public testing::TestWithParam<AckCase> {};

TEST_P(ReadPropertyMultipleAck, Decodes) {
  const auto result = read_property_multiple::decode_response(GetParam().octets);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), GetParam().expected);
}

// Nothing may follow the last object: a trailing octet must start another one.
TEST_P(ReadPropertyMultipleAck, RejectsTrailingOctet) {
  for (const std::uint8_t trailing : {std::uint8_t{0x00}, std::uint8_t{0x1F}, std::uint8_t{0xFF}}) {
    const auto result = read_property_multiple::decode_response(concat(GetParam().octets, {trailing}));
    ASSERT_FALSE(result.ok()) << int{trailing};
    EXPECT_EQ(to_string(result.error()), "InvalidContextTag") << int{trailing};
  }
}

TEST_P(ReadPropertyMultipleAck, StrictPrefixesFailUnlessTheyEndAnObject) {
  const AckCase& c = GetParam();
  EXPECT_EQ(read_property_multiple::decode_response({}).value(), std::vector<ObjectResult>{});
  std::size_t objects_before = 0;
  for (std::size_t length = 1; length < c.octets.size(); ++length) {
    const auto result = read_property_multiple::decode_response(std::span(c.octets).first(length));
    if (std::find(c.object_ends.begin(), c.object_ends.end(), length) != c.object_ends.end()) {
      ++objects_before;
      ASSERT_TRUE(result.ok()) << "prefix " << length;
      EXPECT_EQ(result.value(), std::vector<ObjectResult>(c.expected.begin(), c.expected.begin() + objects_before));
    } else {
      EXPECT_FALSE(result.ok()) << "prefix " << length;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Valid, ReadPropertyMultipleAck, testing::ValuesIn(kValidAcks));

struct MalformedCase {
  const char* name;
  Bytes octets;
  DecodeError expected;
  friend void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }
};

class ReadPropertyMultipleAckMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(ReadPropertyMultipleAckMalformed, FailsWithExactKind) {
  const auto result = read_property_multiple::decode_response(GetParam().octets);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(to_string(result.error()), to_string(GetParam().expected));
}

// Object (8, 1234) and its opening tag 1, then the property result under test.
Bytes object_with(const Bytes& results) { return concat({0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E}, results); }

using E = DecodeError;
INSTANTIATE_TEST_SUITE_P(
    Malformed, ReadPropertyMultipleAckMalformed,
    testing::Values(
        MalformedCase{"wrong_first_octet", {0x0D, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x1F}, E::InvalidContextTag},
        MalformedCase{"object_id_cut", {0x0C, 0x02, 0x00, 0x04}, E::IncompleteData},
        MalformedCase{"ends_after_object_id", {0x0C, 0x02, 0x00, 0x04, 0xD2}, E::InvalidContextTag},
        MalformedCase{"no_opening_tag_1", {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1F}, E::InvalidContextTag},
        MalformedCase{"no_closing_tag_1", object_with({}), E::IncompleteData},
        MalformedCase{"result_starts_wrongly", object_with({0x19, 0x55, 0x4E, 0x00, 0x4F, 0x1F}),
                      E::InvalidContextTag},
        MalformedCase{"wrapped_missing_closing_tag_2",
                      object_with({0x2E, 0x09, 0x55, 0x4E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x4F, 0x1F}),
                      E::InvalidContextTag},
        MalformedCase{"wrapped_ends_after_opening_tag", object_with({0x2E}), E::IncompleteData},
        MalformedCase{"wrapped_property_under_tag_1", object_with({0x2E, 0x19, 0x55, 0x4E, 0x00, 0x4F, 0x2F, 0x1F}),
                      E::InvalidContextTag},
        MalformedCase{"property_cut", object_with({0x2A, 0x01}), E::IncompleteData},
        MalformedCase{"ends_after_property", object_with({0x29, 0x55}), E::InvalidContextTag},
        MalformedCase{"ends_after_index", object_with({0x29, 0x55, 0x39, 0x01}), E::InvalidContextTag},
        MalformedCase{"index_cut", object_with({0x29, 0x55, 0x3A, 0x01}), E::IncompleteData},
        MalformedCase{"neither_value_nor_error", object_with({0x29, 0x55, 0x21, 0x01, 0x1F}), E::InvalidContextTag},
        // Length 6 on the index tag is an opening tag 3, which starts neither a value nor an error.
        MalformedCase{"opening_tag_3_is_no_index", object_with({0x29, 0x55, 0x3E, 0x4E, 0x00, 0x4F, 0x1F}),
                      E::InvalidContextTag},
        MalformedCase{"value_without_closing_tag", object_with({0x29, 0x55, 0x4E, 0x00}), E::IncompleteData},
        MalformedCase{"stray_closing_tag_inside_value", object_with({0x29, 0x55, 0x4E, 0x09, 0x00, 0x0F, 0x4F, 0x1F}),
                      E::InvalidContextTag},
        MalformedCase{"error_ends_after_opening_tag", object_with({0x29, 0x55, 0x5E}), E::IncompleteData},
        MalformedCase{"error_class_not_enumerated", object_with({0x29, 0x55, 0x5E, 0x21, 0x02, 0x91, 0x20, 0x5F, 0x1F}),
                      E::InvalidData},
        MalformedCase{"error_class_cut", object_with({0x29, 0x55, 0x5E, 0x92, 0x02}), E::IncompleteData},
        MalformedCase{"error_ends_before_code", object_with({0x29, 0x55, 0x5E, 0x91, 0x02}), E::IncompleteData},
        MalformedCase{"error_code_not_enumerated", object_with({0x29, 0x55, 0x5E, 0x91, 0x02, 0x21, 0x20, 0x5F, 0x1F}),
                      E::InvalidData},
        MalformedCase{"error_code_cut", object_with({0x29, 0x55, 0x5E, 0x91, 0x02, 0x92, 0x20}), E::IncompleteData},
        MalformedCase{"error_without_closing_tag", object_with({0x29, 0x55, 0x5E, 0x91, 0x02, 0x91, 0x20}),
                      E::InvalidContextTag},
        MalformedCase{"error_closed_wrongly", object_with({0x29, 0x55, 0x5E, 0x91, 0x02, 0x91, 0x20, 0x4F, 0x1F}),
                      E::InvalidContextTag},
        // Numbers wider than 32 bits are refused, never truncated.
        MalformedCase{"property_length_5", object_with({0x2D, 0x01, 0x00, 0x00, 0x00, 0x55, 0x4E, 0x00, 0x4F, 0x1F}),
                      E::InvalidData},
        MalformedCase{"property_length_7", object_with({0x2F, 0x4E, 0x00, 0x4F, 0x1F}), E::InvalidData},
        MalformedCase{"wrapped_property_length_6", object_with({0x2E, 0x0E, 0x4E, 0x00, 0x4F, 0x2F, 0x1F}),
                      E::InvalidData},
        MalformedCase{"index_length_5",
                      object_with({0x29, 0x55, 0x3D, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4E, 0x00, 0x4F, 0x1F}),
                      E::InvalidData},
        MalformedCase{"error_class_length_5",
                      object_with({0x29, 0x55, 0x5E, 0x95, 0x00, 0x00, 0x00, 0x00, 0x02, 0x91, 0x20, 0x5F, 0x1F}),
                      E::InvalidData}));

}  // namespace
}  // namespace ferromesh::services
