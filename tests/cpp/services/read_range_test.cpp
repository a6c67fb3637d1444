#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "services/read_range.hpp"

namespace ferromesh::services {
namespace {

using E = DecodeError;
using PV = PropertyValue;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const ObjectIdentifier kTrendLog1{ObjectType::from_u16(20), 1};
const Bytes kTrendLogBuffer = {0x0C, 0x05, 0x00, 0x00, 0x01, 0x19, 0x83};  // trend-log 1, log-buffer

struct RangeCase {
  const char* name;
  ReadRangeRequest request;
  Bytes expected;
  friend void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }
};

class ReadRangeRequestEncoding : public testing::TestWithParam<RangeCase> {};

TEST_P(ReadRangeRequestEncoding, WritesExactOctets) {
  EXPECT_EQ(read_range::encode_request(GetParam().request), GetParam().expected);
}

const auto kLogBuffer = PropertyIdentifier::from_u32(131);

INSTANTIATE_TEST_SUITE_P(
    Vectors, ReadRangeRequestEncoding,
    testing::Values(
        RangeCase{"WholeList", {kTrendLog1, kLogBuffer, std::nullopt, std::nullopt}, kTrendLogBuffer},
        RangeCase{"ByPosition",
                  {kTrendLog1, kLogBuffer, std::nullopt, RangeByPosition{1, 10}},
                  concat({kTrendLogBuffer, {0x3E, 0x21, 0x01, 0x31, 0x0A, 0x3F}})},
        RangeCase{"ByPositionBackwards",
                  {kTrendLog1, kLogBuffer, 2, RangeByPosition{300, -5}},
                  concat({kTrendLogBuffer, {0x29, 0x02, 0x3E, 0x22, 0x01, 0x2C, 0x33, 0xFF, 0xFF, 0xFB, 0x3F}})},
        RangeCase{"BySequenceNumber",
                  {kTrendLog1, kLogBuffer, std::nullopt, RangeBySequenceNumber{70000, 100}},
                  concat({kTrendLogBuffer, {0x6E, 0x23, 0x01, 0x11, 0x70, 0x31, 0x64, 0x6F}})},
        RangeCase{"ByTime",
                  {kTrendLog1, kLogBuffer, std::nullopt,
                   RangeByTime{{2024, 3, 15, 4}, {12, 30, 0, 0}, 20}},
                  concat({kTrendLogBuffer,
                          {0x7E, 0xA4, 0x7C, 0x03, 0x0F, 0x05, 0xB4, 0x0C, 0x1E, 0x00, 0x00, 0x31, 0x14, 0x7F}})}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Two log records: time stamp [0], datum [1] (real-value [2]) and status flags [2].
const Bytes kTwoRecords = {
    0x0E, 0xA4, 0x7C, 0x03, 0x0F, 0x05, 0xB4, 0x0C, 0x00, 0x00, 0x00, 0x0F, 0x1E, 0x2C, 0x41, 0xA8, 0x00, 0x00, 0x1F,
    0x2A, 0x04, 0x00,
    0x0E, 0xA4, 0x7C, 0x03, 0x0F, 0x05, 0xB4, 0x0C, 0x0F, 0x00, 0x00, 0x0F, 0x1E, 0x2C, 0x41, 0xB0, 0x00, 0x00, 0x1F,
    0x2A, 0x04, 0x00,
};
// first-item and last-item set, more-items clear; two items.
const Bytes kFlagsAndCount = {0x3A, 0x05, 0xC0, 0x49, 0x02};
const Bytes kAck = concat({kTrendLogBuffer, kFlagsAndCount, {0x5E}, kTwoRecords, {0x5F, 0x69, 0x07}});

TEST(ReadRangeAck, DecodesFlagsCountAndItemsLosslessly) {
  const auto result = read_range::decode_response(kAck);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result->object_id, kTrendLog1);
  EXPECT_EQ(result->property_id, kLogBuffer);
  EXPECT_EQ(result->array_index, std::nullopt);
  EXPECT_TRUE(result->first_item);
  EXPECT_TRUE(result->last_item);
  EXPECT_FALSE(result->more_items);
  EXPECT_EQ(result->item_count, 2u);
  EXPECT_EQ(result->first_sequence_number, 7u);
  // Three elements per record; written back they are the item data itself.
  ASSERT_EQ(result->items.size(), 6u);
  EXPECT_TRUE(std::holds_alternative<PV::Constructed>(result->items[0].variant));
  EXPECT_EQ(std::get<PV::Context>(result->items[2].variant), (PV::Context{2, {0x04, 0x00}}));
  Bytes written;
  for (const PV& item : result->items) item.encode_tag_and_value(written);
  EXPECT_EQ(written, kTwoRecords);
}

TEST(ReadRangeAck, EmptyRangeWithIndexAndNoSequenceNumber) {
  const Bytes wire = concat({kTrendLogBuffer, {0x29, 0x01, 0x3A, 0x05, 0x00, 0x49, 0x00, 0x5E, 0x5F}});
  const auto result = read_range::decode_response(wire);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result->array_index, 1u);
  EXPECT_FALSE(result->first_item || result->last_item || result->more_items);
  EXPECT_TRUE(result->items.empty());
  EXPECT_EQ(result->first_sequence_number, std::nullopt);
}

TEST(ReadRangeAck, EveryStrictPrefixBeforeTheSequenceNumberFails) {
  // Without its last two octets the answer is whole, lacking only the optional sequence number.
  for (std::size_t n = 0; n + 2 < kAck.size(); ++n) {
    EXPECT_FALSE(read_range::decode_response(std::span(kAck).first(n)).ok()) << n;
  }
}

struct BadAck {
  const char* name;
  Bytes wire;
  DecodeError error;
};

class ReadRangeAckMalformed : public testing::TestWithParam<BadAck> {};

TEST_P(ReadRangeAckMalformed, FailsWithKind) {
  const auto result = read_range::decode_response(GetParam().wire);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, ReadRangeAckMalformed,
    testing::Values(
        BadAck{"FlagsWithoutUnusedBitsOctet", concat({kTrendLogBuffer, {0x38, 0x49, 0x00, 0x5E, 0x5F}}),
               E::InvalidData},
        BadAck{"CountBeforeFlags", concat({kTrendLogBuffer, {0x49, 0x00, 0x3A, 0x05, 0x00, 0x5E, 0x5F}}),
               E::InvalidContextTag},
        BadAck{"ItemDataNotOpened", concat({kTrendLogBuffer, kFlagsAndCount, {0x21, 0x01}}), E::InvalidContextTag},
        BadAck{"StrayClosingTagInItems", concat({kTrendLogBuffer, kFlagsAndCount, {0x5E, 0x1F, 0x5F}}),
               E::InvalidContextTag},
        BadAck{"SequenceNumberUnderWrongTag", concat({kTrendLogBuffer, kFlagsAndCount, {0x5E, 0x5F, 0x79, 0x07}}),
               E::InvalidContextTag}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace ferromesh::services
