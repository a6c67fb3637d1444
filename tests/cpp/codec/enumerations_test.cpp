#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codec/decode_error.hpp"
#include "codec/object_type.hpp"
#include "codec/property_identifier.hpp"

namespace ferromesh {
namespace {

// Written out independently of the .def files, so that a line lost or
// misnumbered there shows up here.
std::set<std::uint32_t> listed_object_types() {
  std::set<std::uint32_t> numbers;
  for (std::uint32_t n = 0; n <= 19; ++n) numbers.insert(n);
  for (std::uint32_t n = 40; n <= 46; ++n) numbers.insert(n);
  for (std::uint32_t n = 1001; n <= 1026; ++n) numbers.insert(n);
  return numbers;
}

std::set<std::uint32_t> listed_property_identifiers() {
  const std::set<std::uint32_t> unlisted = {18,  22,  23,  24,  25,  26,  27,  51,  95,  194, 198, 199,
                                            200, 201, 216, 217, 223, 224, 225, 226, 237, 238, 239, 240,
                                            241, 242, 243, 312, 313, 314, 315, 316, 324, 325};
  std::set<std::uint32_t> numbers;
  for (std::uint32_t n = 0; n <= 387; ++n) {
    if (!unlisted.contains(n)) numbers.insert(n);
  }
  return numbers;
}

TEST(ObjectType, EveryNumberConvertsToItsMemberAndBack) {
  const auto listed = listed_object_types();
  std::size_t members_seen = 0;
  for (std::uint32_t n = 0; n <= std::numeric_limits<std::uint16_t>::max(); ++n) {
    const auto number = static_cast<std::uint16_t>(n);
    const ObjectType type = ObjectType::from_u16(number);
    ASSERT_EQ(type.to_u16(), number);
    if (!listed.contains(n)) {
      ASSERT_EQ(type.member(), ObjectType::Member::Other) << n;
      ASSERT_TRUE(type.name().empty()) << n;
      continue;
    }
    // Listed numbers are members in number order.
    ASSERT_EQ(static_cast<std::size_t>(type.member()), members_seen) << n;
    ASSERT_FALSE(type.name().empty()) << n;
    ASSERT_EQ(ObjectType(type.member()), type) << n;
    ++members_seen;
  }
  EXPECT_EQ(members_seen, 53u);
  EXPECT_EQ(static_cast<std::size_t>(ObjectType::Member::Other), 53u);
}

TEST(ObjectType, EdgeNumbers) {
  EXPECT_EQ(ObjectType::from_u16(20).member(), ObjectType::Member::Other);
  EXPECT_EQ(ObjectType::from_u16(20).to_u16(), 20);
  EXPECT_EQ(ObjectType::from_u16(39).member(), ObjectType::Member::Other);
  EXPECT_EQ(ObjectType::from_u16(39).to_u16(), 39);
  EXPECT_EQ(ObjectType::from_u16(40).member(), ObjectType::Member::CharacterstringValue);
  EXPECT_EQ(ObjectType::from_u16(47).member(), ObjectType::Member::Other);
  EXPECT_EQ(ObjectType::from_u16(1000).member(), ObjectType::Member::Other);
  EXPECT_EQ(ObjectType::from_u16(1027).member(), ObjectType::Member::Other);
  const ObjectType last = ObjectType::from_u16(1026);
  EXPECT_EQ(static_cast<std::size_t>(last.member()), 52u);
  EXPECT_EQ(last.to_u16(), 1026);
  EXPECT_EQ(ObjectType::from_u16(65535).member(), ObjectType::Member::Other);
  EXPECT_EQ(ObjectType::from_u16(65535).to_u16(), 65535);
  // Other carrying different numbers are different values.
  EXPECT_NE(ObjectType::from_u16(20), ObjectType::from_u16(21));
  EXPECT_EQ(ObjectType().member(), ObjectType::Member::Device);
  EXPECT_EQ(ObjectType().to_u16(), 8);
}

TEST(ObjectType, StandardNames) {
  EXPECT_EQ(ObjectType::from_u16(0).name(), "analog-input");
  EXPECT_EQ(ObjectType::from_u16(8).name(), "device");
  EXPECT_EQ(ObjectType::from_u16(19).name(), "multi-state-value");
  EXPECT_EQ(ObjectType::from_u16(40).name(), "characterstring-value");
  EXPECT_EQ(ObjectType::from_u16(46).name(), "large-analog-value");
  std::set<std::string_view> names;
  for (std::uint32_t n : listed_object_types()) names.insert(ObjectType::from_u16(static_cast<std::uint16_t>(n)).name());
  EXPECT_EQ(names.size(), 53u) << "names must be unique";
}

std::vector<std::uint32_t> property_numbers_to_check() {
  std::vector<std::uint32_t> numbers;
  for (std::uint32_t n = 0; n <= 100'000; ++n) numbers.push_back(n);
  for (std::uint32_t n : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu, 0x10000u, 0x1000000u}) {
    numbers.push_back(n);
  }
  return numbers;
}

TEST(PropertyIdentifier, EveryNumberConvertsToItsMemberAndBack) {
  const auto listed = listed_property_identifiers();
  ASSERT_EQ(listed.size(), 354u);
  std::size_t members_seen = 0;
  for (std::uint32_t n : property_numbers_to_check()) {
    const PropertyIdentifier id = PropertyIdentifier::from_u32(n);
    ASSERT_EQ(id.to_u32(), n);
    if (!listed.contains(n)) {
      ASSERT_EQ(id.member(), PropertyIdentifier::Member::Other) << n;
      ASSERT_TRUE(id.name().empty()) << n;
      continue;
    }
    ASSERT_EQ(static_cast<std::size_t>(id.member()), members_seen) << n;
    ASSERT_FALSE(id.name().empty()) << n;
    ASSERT_EQ(PropertyIdentifier(id.member()), id) << n;
    ++members_seen;
  }
  EXPECT_EQ(members_seen, 354u);
  EXPECT_EQ(static_cast<std::size_t>(PropertyIdentifier::Member::Other), 354u);
}

TEST(PropertyIdentifier, EdgeNumbers) {
  for (std::uint32_t n : {18u, 95u, 388u, 4'294'967'295u}) {
    const PropertyIdentifier id = PropertyIdentifier::from_u32(n);
    EXPECT_EQ(id.member(), PropertyIdentifier::Member::Other) << n;
    EXPECT_EQ(id.to_u32(), n);
  }
  EXPECT_EQ(static_cast<std::size_t>(PropertyIdentifier::from_u32(387).member()), 353u);
  EXPECT_EQ(PropertyIdentifier().member(), PropertyIdentifier::Member::PresentValue);
  EXPECT_EQ(PropertyIdentifier().to_u32(), 85u);
}

struct NamedProperty {
  std::uint32_t number;
  std::string_view name;
};

class PropertyIdentifierName : public testing::TestWithParam<NamedProperty> {};

TEST_P(PropertyIdentifierName, IsTheStandardName) {
  EXPECT_EQ(PropertyIdentifier::from_u32(GetParam().number).name(), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Listed, PropertyIdentifierName,
                         testing::Values(NamedProperty{0, "acked-transitions"}, NamedProperty{8, "all"},
                                         NamedProperty{28, "description"}, NamedProperty{75, "object-identifier"},
                                         NamedProperty{76, "object-list"}, NamedProperty{77, "object-name"},
                                         NamedProperty{79, "object-type"}, NamedProperty{85, "present-value"},
                                         NamedProperty{87, "priority-array"}, NamedProperty{111, "status-flags"},
                                         NamedProperty{117, "units"}));

TEST(PropertyIdentifier, NamesAreUnique) {
  std::set<std::string_view> names;
  for (std::uint32_t n : listed_property_identifiers()) names.insert(PropertyIdentifier::from_u32(n).name());
  EXPECT_EQ(names.size(), 354u);
}

TEST(DecodeError, NamesInOrder) {
  const std::vector<std::string_view> expected = {
      "IncompleteData",    "InvalidData",       "InvalidTagNumber",  "InvalidContextTag",   "UnsupportedApplicationTag",
      "InvalidDate",       "InvalidTime",       "InvalidObjectType", "UnknownPropertyType", "UnsupportedBvlcFunction"};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(to_string(static_cast<DecodeError>(i)), expected[i]);
  }
}

}  // namespace
}  // namespace ferromesh
