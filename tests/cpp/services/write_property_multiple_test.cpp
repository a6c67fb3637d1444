#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "services/write_property_multiple.hpp"

namespace ferromesh::services {
namespace {

using E = DecodeError;

const ObjectIdentifier kAnalogValue1{ObjectType::from_u16(2), 1};
const ObjectIdentifier kBinaryValue7{ObjectType::from_u16(5), 7};

TEST(WritePropertyMultipleRequest, EncodesEveryWriteInOrder) {
  const std::vector<WriteAccessSpec> specs = {
      {kAnalogValue1,
       {{PropertyIdentifier::from_u32(85), std::nullopt, {PropertyValue::Real{21.5f}}, 8},
        {PropertyIdentifier::from_u32(28), std::nullopt, {PropertyValue::CharacterString{"x", 0}}, std::nullopt}}},
      {kBinaryValue7, {{PropertyIdentifier::from_u32(87), 3, {PropertyValue::Null{}}, std::nullopt}}},
      {kBinaryValue7, {}},
  };
  const Bytes expected = {
      0x0C, 0x00, 0x80, 0x00, 0x01, 0x1E,                                    // analog-value 1, writes
      0x09, 0x55, 0x2E, 0x44, 0x41, 0xAC, 0x00, 0x00, 0x2F, 0x39, 0x08,      // present-value 21.5 @ 8
      0x09, 0x1C, 0x2E, 0x72, 0x00, 0x78, 0x2F,                               // description "x"
      0x1F,                                                                   //
      0x0C, 0x01, 0x40, 0x00, 0x07, 0x1E, 0x09, 0x57, 0x19, 0x03, 0x2E, 0x00, 0x2F, 0x1F,  // priority-array[3] := Null
      0x0C, 0x01, 0x40, 0x00, 0x07, 0x1E, 0x1F,                               // no writes at all
  };
  EXPECT_EQ(write_property_multiple::encode_request(specs), expected);
}

// Error class property (2), code write-access-denied (40), first failed
// write analog-value 1 present-value, optionally at index 4.
const Bytes kError = {0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x1E, 0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x1F};
const Bytes kErrorWithIndex = {0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x1E, 0x0C, 0x00,
                               0x80, 0x00, 0x01, 0x19, 0x55, 0x29, 0x04, 0x1F};

TEST(WritePropertyMultipleError, NamesTheFirstFailedWrite) {
  const auto error = write_property_multiple::decode_error(kError);
  ASSERT_TRUE(error.ok());
  EXPECT_EQ(error.value(), (WritePropertyMultipleError{2, 40, kAnalogValue1, PropertyIdentifier::from_u32(85), {}}));
  const auto indexed = write_property_multiple::decode_error(kErrorWithIndex);
  ASSERT_TRUE(indexed.ok());
  EXPECT_EQ(indexed->array_index, 4u);
}

TEST(WritePropertyMultipleError, EveryStrictPrefixFails) {
  for (const Bytes* wire : {&kError, &kErrorWithIndex}) {
    for (std::size_t n = 0; n < wire->size(); ++n) {
      EXPECT_FALSE(write_property_multiple::decode_error(std::span(*wire).first(n)).ok()) << n;
    }
  }
}

struct BadError {
  const char* name;
  Bytes wire;
  DecodeError error;
};

class WritePropertyMultipleErrorMalformed : public testing::TestWithParam<BadError> {};

TEST_P(WritePropertyMultipleErrorMalformed, FailsWithKind) {
  const auto error = write_property_multiple::decode_error(GetParam().wire);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, WritePropertyMultipleErrorMalformed,
    testing::Values(BadError{"PlainErrorWithoutBracket", {0x91, 0x02, 0x91, 0x28}, E::InvalidContextTag},
                    BadError{"CodeNotEnumerated", {0x0E, 0x91, 0x02, 0x21, 0x28, 0x0F}, E::InvalidData},
                    BadError{"NoFailedWrite", {0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x2E}, E::InvalidContextTag},
                    BadError{"PropertyUnderTag2",
                             {0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x1E, 0x0C, 0x00, 0x80, 0x00, 0x01, 0x29, 0x55, 0x1F},
                             E::InvalidContextTag},
                    BadError{"ReferenceNotClosed",
                             {0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F, 0x1E, 0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x0F},
                             E::InvalidContextTag}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace ferromesh::services
