#include <gtest/gtest.h>

#include <cstdint>

#include "services/context_tags.hpp"

namespace ferromesh::services {
namespace {

struct UnsignedCase {
  std::uint8_t tag_number;
  std::uint32_t value;
  Bytes expected;
};

class ContextUnsigned : public testing::TestWithParam<UnsignedCase> {};

TEST_P(ContextUnsigned, WritesShortestBigEndianForm) {
  Bytes out{0xAA};  // appends, never overwrites
  encode_context_unsigned(GetParam().tag_number, GetParam().value, out);
  Bytes expected{0xAA};
  expected.insert(expected.end(), GetParam().expected.begin(), GetParam().expected.end());
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    BoundaryNumbers, ContextUnsigned,
    testing::Values(UnsignedCase{1, 0, {0x19, 0x00}}, UnsignedCase{1, 255, {0x19, 0xFF}},
                    UnsignedCase{1, 256, {0x1A, 0x01, 0x00}}, UnsignedCase{1, 65535, {0x1A, 0xFF, 0xFF}},
                    UnsignedCase{1, 65536, {0x1B, 0x01, 0x00, 0x00}},
                    UnsignedCase{1, 0xFFFFFF, {0x1B, 0xFF, 0xFF, 0xFF}},
                    UnsignedCase{1, 0x1000000, {0x1C, 0x01, 0x00, 0x00, 0x00}},
                    UnsignedCase{1, 0xFFFFFFFF, {0x1C, 0xFF, 0xFF, 0xFF, 0xFF}},
                    UnsignedCase{0, 75, {0x09, 0x4B}}, UnsignedCase{2, 256, {0x2A, 0x01, 0x00}},
                    UnsignedCase{4, 200, {0x49, 0xC8}}, UnsignedCase{14, 1, {0xE9, 0x01}}));

TEST(ContextObjectId, WritesHeaderAndWord) {
  Bytes out;
  encode_context_object_id(0, 0x020004D2, out);
  encode_context_object_id(2, 0xFFFFFFFF, out);
  EXPECT_EQ(out, (Bytes{0x0C, 0x02, 0x00, 0x04, 0xD2, 0x2C, 0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace ferromesh::services
