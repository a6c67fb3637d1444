#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <string_view>
#include <vector>

#include "codec/decode_error.hpp"
#include "codec/object_type.hpp"
#include "codec/property_identifier.hpp"

namespace ferromesh {
namespace {

// Every member converts to a number that converts back to the same member, and
// members are in ascending number order (the tables' contract).
template <typename Enum, typename Number>
void expect_members_round_trip(Number (Enum::*to_number)() const, Enum (*from_number)(Number)) {
  using Member = typename Enum::Member;
  const auto count = static_cast<std::size_t>(Member::Other);
  Number previous = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Enum member{static_cast<Member>(i)};
    const Number number = (member.*to_number)();
    ASSERT_EQ(from_number(number), member) << number;
    if (i > 0) {
      ASSERT_LT(previous, number) << "member " << i;
    }
    previous = number;
  }
}

TEST(ObjectType, EveryNumberConvertsToAMemberAndBack) {
  std::size_t listed = 0;
  for (std::uint32_t n = 0; n <= std::numeric_limits<std::uint16_t>::max(); ++n) {
    const ObjectType type = ObjectType::from_u16(static_cast<std::uint16_t>(n));
    ASSERT_EQ(type.to_u16(), n);
    if (type.member() != ObjectType::Member::Other) ++listed;
  }
  EXPECT_EQ(listed, static_cast<std::size_t>(ObjectType::Member::Other));
  expect_members_round_trip(&ObjectType::to_u16, &ObjectType::from_u16);
}

TEST(ObjectType, RangeEdges) {
  using M = ObjectType::Member;
  const std::vector<std::pair<std::uint16_t, M>> cases = {
      {0, M::AnalogInput},          {8, M::Device},           {20, M::TrendLog},
      {39, M::BitstringValue},      {40, M::CharacterstringValue}, {56, M::NetworkPort},
      {64, M::ColorTemperature},    {65, M::Other},           {1000, M::Other},
      {1001, M::Proprietary1001},   {1026, M::Proprietary1026}, {1027, M::Other},
      {65535, M::Other},
  };
  for (const auto& [number, member] : cases) {
    EXPECT_EQ(ObjectType::from_u16(number).member(), member) << number;
    EXPECT_EQ(ObjectType::from_u16(number).to_u16(), number);
  }
  // Other carrying different numbers are different values.
  EXPECT_NE(ObjectType::from_u16(65), ObjectType::from_u16(66));
  EXPECT_EQ(ObjectType().member(), M::Device);
  EXPECT_EQ(ObjectType().to_u16(), 8);
}

std::vector<std::uint32_t> property_numbers_to_check() {
  std::vector<std::uint32_t> numbers;
  for (std::uint32_t n = 0; n <= 100'000; ++n) numbers.push_back(n);
  for (std::uint32_t n = 4'194'000; n <= 4'195'000; ++n) numbers.push_back(n);
  for (std::uint32_t n : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu, 0x1000000u}) numbers.push_back(n);
  return numbers;
}

TEST(PropertyIdentifier, EveryNumberConvertsToAMemberAndBack) {
  std::size_t listed = 0;
  for (std::uint32_t n : property_numbers_to_check()) {
    const PropertyIdentifier id = PropertyIdentifier::from_u32(n);
    ASSERT_EQ(id.to_u32(), n);
    if (id.member() != PropertyIdentifier::Member::Other) ++listed;
  }
  EXPECT_EQ(listed, static_cast<std::size_t>(PropertyIdentifier::Member::Other));
  expect_members_round_trip(&PropertyIdentifier::to_u32, &PropertyIdentifier::from_u32);
}

TEST(PropertyIdentifier, RangeEdges) {
  using M = PropertyIdentifier::Member;
  const std::vector<std::pair<std::uint32_t, M>> cases = {
      {0, M::AckedTransitions},
      {18, M::Other},
      {22, M::CovIncrement},
      {27, M::DerivativeConstantUnits},
      {85, M::PresentValue},
      {236, M::Reserved236},
      {466, M::Other},
      {511, M::IssuerCertificateFiles},
      {512, M::Other},
      {4'194'303, M::Other},
      {4'194'304, M::MaxBvlcLengthAccepted},
      {4'194'327, M::ScMinimumReconnectTime},
      {4'194'349, M::MaxProxiedIAmsPerSecond},
      {4'194'350, M::Other},
      {4'294'967'295, M::Other},
  };
  for (const auto& [number, member] : cases) {
    EXPECT_EQ(PropertyIdentifier::from_u32(number).member(), member) << number;
    EXPECT_EQ(PropertyIdentifier::from_u32(number).to_u32(), number);
  }
  EXPECT_EQ(PropertyIdentifier().member(), M::PresentValue);
  EXPECT_EQ(PropertyIdentifier().to_u32(), 85u);
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
