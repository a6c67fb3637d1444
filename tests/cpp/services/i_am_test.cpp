#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "services/i_am.hpp"

namespace ferromesh::services {
namespace {

// Device (8, 1234), max APDU 1476, segmented-both, vendor 15.
const Bytes kIAm{0xC4, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x05, 0xC4, 0x91, 0x00, 0x21, 0x0F};

Bytes with_segmentation(std::uint8_t value) {
  Bytes octets = kIAm;
  octets[9] = value;
  return octets;
}

struct IAmCase {
  const char* name;
  Bytes octets;
  IAm expected;
  friend void PrintTo(const IAmCase& c, std::ostream* os) { *os << c.name; }
};

const ObjectIdentifier kDevice1234{ObjectType::from_u16(8), 1234};

const IAmCase kValidIAms[] = {
    {"segmented_both", kIAm, {kDevice1234, 1476, kSegmentedBoth, 15}},
    {"segmented_receive", with_segmentation(2), {kDevice1234, 1476, kSegmentedReceive, 15}},
    {"no_segmentation", with_segmentation(3), {kDevice1234, 1476, kNoSegmentation, 15}},
    {"unknown_segmentation_reads_as_none", with_segmentation(7), {kDevice1234, 1476, kNoSegmentation, 15}},
    {"enumerated_above_8_bits_reads_as_none",
     {0xC4, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x05, 0xC4, 0x92, 0x01, 0x00, 0x21, 0x0F},
     {kDevice1234, 1476, kNoSegmentation, 15}},
    // Not a device, and a vendor number wider than the standard's 16 bits: both kept as received.
    {"any_object_type_and_wide_numbers",
     {0xC4, 0x00, 0x00, 0x00, 0x05, 0x24, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x01, 0x23, 0x01, 0x00, 0x00},
     {{ObjectType::from_u16(0), 5}, 0xFFFFFFFF, kSegmentedTransmit, 65536}},
};

class IAmDecoding : public testing::TestWithParam<IAmCase> {};

TEST_P(IAmDecoding, Decodes) {
  const auto result = i_am::decode_i_am(GetParam().octets);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), GetParam().expected);
}

TEST_P(IAmDecoding, IgnoresTrailingOctets) {
  Bytes octets = GetParam().octets;
  octets.insert(octets.end(), {0x3F, 0xFF});
  const auto result = i_am::decode_i_am(octets);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), GetParam().expected);
}

TEST_P(IAmDecoding, EveryStrictPrefixIsIncomplete) {
  const Bytes& octets = GetParam().octets;
  for (std::size_t length = 0; length < octets.size(); ++length) {
    const auto result = i_am::decode_i_am(std::span(octets).first(length));
    ASSERT_FALSE(result.ok()) << "prefix " << length;
    EXPECT_EQ(to_string(result.error()), "IncompleteData") << "prefix " << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Valid, IAmDecoding, testing::ValuesIn(kValidIAms));

struct MalformedCase {
  const char* name;
  Bytes octets;
  DecodeError expected;
  friend void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }
};

class IAmMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(IAmMalformed, FailsWithExactKind) {
  const auto result = i_am::decode_i_am(GetParam().octets);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(to_string(result.error()), to_string(GetParam().expected));
}

using E = DecodeError;
INSTANTIATE_TEST_SUITE_P(
    Malformed, IAmMalformed,
    testing::Values(
        MalformedCase{"device_as_unsigned", {0x21, 0x08, 0x22, 0x05, 0xC4, 0x91, 0x00, 0x21, 0x0F}, E::InvalidData},
        MalformedCase{"max_apdu_as_enumerated", {0xC4, 0x02, 0x00, 0x04, 0xD2, 0x92, 0x05, 0xC4, 0x91, 0x00, 0x21, 0x0F},
                      E::InvalidData},
        MalformedCase{"segmentation_as_unsigned",
                      {0xC4, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x05, 0xC4, 0x21, 0x00, 0x21, 0x0F}, E::InvalidData},
        MalformedCase{"vendor_as_enumerated", {0xC4, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x05, 0xC4, 0x91, 0x00, 0x91, 0x0F},
                      E::InvalidData},
        MalformedCase{"context_tag", {0x0C, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x05, 0xC4, 0x91, 0x00, 0x21, 0x0F},
                      E::InvalidContextTag}));

}  // namespace
}  // namespace ferromesh::services
