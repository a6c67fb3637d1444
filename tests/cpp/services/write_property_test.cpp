#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>

#include "services/write_property.hpp"

namespace ferromesh::services {
namespace {

using PV = PropertyValue;

PropertyValue pv(PV::Variant v) { return PropertyValue{std::move(v)}; }

const ObjectIdentifier kAnalogValue1{ObjectType::from_u16(2), 1};
const PropertyIdentifier kPresentValue = PropertyIdentifier::from_u32(85);

struct Case {
  const char* name;
  PropertyValue value;
  std::optional<std::uint32_t> array_index;
  std::optional<std::uint8_t> priority;
  Bytes expected;
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class WritePropertyRequest : public testing::TestWithParam<Case> {};

TEST_P(WritePropertyRequest, EncodesExactOctets) {
  const Case& c = GetParam();
  EXPECT_EQ(write_property::encode_request(kAnalogValue1, kPresentValue, c.value, c.array_index, c.priority),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, WritePropertyRequest,
    testing::Values(
        Case{"real_priority_8", pv(PV::Real{72.5f}), std::nullopt, 8,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F, 0x49, 0x08}},
        Case{"no_priority", pv(PV::Real{72.5f}), std::nullopt, std::nullopt,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F}},
        // The priority is not range-checked: 0 and values above 16 go out as given.
        Case{"priority_0", pv(PV::Null{}), std::nullopt, 0,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x00, 0x3F, 0x49, 0x00}},
        Case{"priority_200", pv(PV::Null{}), std::nullopt, 200,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x00, 0x3F, 0x49, 0xC8}},
        Case{"priority_255", pv(PV::Null{}), std::nullopt, 255,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x00, 0x3F, 0x49, 0xFF}},
        Case{"index_before_value", pv(PV::Unsigned{1}), 3, std::nullopt,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x29, 0x03, 0x3E, 0x21, 0x01, 0x3F}},
        Case{"index_65536", pv(PV::Unsigned{1}), 65536, std::nullopt,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x2B, 0x01, 0x00, 0x00, 0x3E, 0x21, 0x01, 0x3F}},
        Case{"empty_array", pv(PV::Array{}), std::nullopt, std::nullopt,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x3F}},
        Case{"array_elements_back_to_back", pv(PV::Array{{pv(PV::Unsigned{1}), pv(PV::Null{})}}), std::nullopt,
             std::nullopt, {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x21, 0x01, 0x00, 0x3F}},
        // Pre-encoded content, context tags included, goes between the brackets unchanged.
        Case{"any_unchanged", pv(PV::Any{{0x0E, 0x19, 0x01, 0x0F}}), std::nullopt, 1,
             {0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x0E, 0x19, 0x01, 0x0F, 0x3F, 0x49, 0x01}}));

}  // namespace
}  // namespace ferromesh::services
