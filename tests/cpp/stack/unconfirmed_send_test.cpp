#include <gtest/gtest.h>

#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

const BacnetAddr kGlobalBroadcast{{255, 255, 255, 255}, kBacnetPort};
const BacnetAddr kDirectedBroadcast{{192, 168, 1, 255}, kBacnetPort};

struct UnconfirmedCase {
  const char* name;
  service::WhoIs who_is;
  BacnetAddr dest;
  std::vector<Output> expected;
};

void PrintTo(const UnconfirmedCase& c, std::ostream* os) { *os << c.name; }

class SendUnconfirmed : public testing::TestWithParam<UnconfirmedCase> {};

// Sent once, nothing kept: no invoke ID, transaction or deadline.
TEST_P(SendUnconfirmed, ExactOutputsAndNoState) {
  Stack stack;
  (void)stack.process(tick(5.0));
  EXPECT_EQ(stack.process(input::SendUnconfirmed{GetParam().who_is, GetParam().dest}), GetParam().expected);
  EXPECT_TRUE(stack.invoke_pools().empty());
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_EQ(stack.process(tick(1000.0)), std::vector<Output>{});
}

const char* const kBothOrNeither = "give both low and high limits, or neither";
const char* const kOrder = "device instance limits must satisfy 0 <= low <= high <= 4194303";

INSTANTIATE_TEST_SUITE_P(
    WhoIs, SendUnconfirmed,
    testing::Values(
        UnconfirmedCase{"GlobalBroadcast", {}, kGlobalBroadcast,
                        {transmit({0x81, 0x0B, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}, kGlobalBroadcast)}},
        UnconfirmedCase{"DirectedBroadcastWithLimits", {5, 256}, kDirectedBroadcast,
                        {transmit({0x81, 0x0B, 0x00, 0x0D, 0x01, 0x00, 0x10, 0x08, 0x09, 0x05, 0x1A, 0x01, 0x00},
                                  kDirectedBroadcast)}},
        UnconfirmedCase{"UnicastWidestLimits", {0, 4194303}, kDevice,
                        {transmit({0x81, 0x0A, 0x00, 0x0E, 0x01, 0x00, 0x10, 0x08, 0x09, 0x00, 0x1B, 0x3F, 0xFF, 0xFF},
                                  kDevice)}},
        UnconfirmedCase{"OnlyLow", {5, std::nullopt}, kDevice, {local_error(0, kBothOrNeither, kDevice)}},
        UnconfirmedCase{"OnlyHigh", {std::nullopt, 5}, kDevice, {local_error(0, kBothOrNeither, kDevice)}},
        UnconfirmedCase{"LowAboveHigh", {6, 5}, kDevice, {local_error(0, kOrder, kDevice)}},
        UnconfirmedCase{"HighBeyond22Bits", {0, 4194304}, kGlobalBroadcast,
                        {local_error(0, kOrder, kGlobalBroadcast)}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace ferromesh::stack::test
