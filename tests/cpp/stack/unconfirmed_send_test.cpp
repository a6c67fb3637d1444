#include <gtest/gtest.h>

#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

const BacnetAddr kGlobalBroadcast{{255, 255, 255, 255}, kBacnetPort};
const BacnetAddr kDirectedBroadcast{{192, 168, 1, 255}, kBacnetPort};
const BacnetAddr kRouter{{10, 0, 0, 1}, kBacnetPort};
// Every device of every network; every device of network 1234 behind the router; one of them.
const BacnetAddr kEveryNetwork = *BacnetAddr::routed(kGlobalBroadcast.addr, kBacnetPort, 0xFFFF, Bytes{});
const BacnetAddr kRemoteNetwork = *BacnetAddr::routed(kRouter.addr, kBacnetPort, 1234, Bytes{});
const BacnetAddr kRemoteDevice = *BacnetAddr::routed(kRouter.addr, kBacnetPort, 1234, Bytes{0x11});

struct UnconfirmedCase {
  const char* name;
  UnconfirmedService service;
  BacnetAddr dest;
  std::vector<Output> expected;
};

void PrintTo(const UnconfirmedCase& c, std::ostream* os) { *os << c.name; }

class SendUnconfirmed : public testing::TestWithParam<UnconfirmedCase> {};

// Sent once, nothing kept: no invoke ID, transaction or deadline.
TEST_P(SendUnconfirmed, ExactOutputsAndNoState) {
  Stack stack;
  (void)stack.process(tick(5.0));
  EXPECT_EQ(stack.process(input::SendUnconfirmed{GetParam().service, GetParam().dest}), GetParam().expected);
  EXPECT_TRUE(stack.invoke_pools().empty());
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_EQ(stack.process(tick(1000.0)), std::vector<Output>{});
}

const char* const kBothOrNeither = "give both low and high limits, or neither";
const char* const kOrder = "device instance limits must satisfy 0 <= low <= high <= 4194303";

INSTANTIATE_TEST_SUITE_P(
    WhoIs, SendUnconfirmed,
    testing::Values(
        UnconfirmedCase{"GlobalBroadcast", service::WhoIs{}, kGlobalBroadcast,
                        {transmit({0x81, 0x0B, 0x00, 0x08, 0x01, 0x00, 0x10, 0x08}, kGlobalBroadcast)}},
        UnconfirmedCase{"DirectedBroadcastWithLimits", service::WhoIs{5, 256}, kDirectedBroadcast,
                        {transmit({0x81, 0x0B, 0x00, 0x0D, 0x01, 0x00, 0x10, 0x08, 0x09, 0x05, 0x1A, 0x01, 0x00},
                                  kDirectedBroadcast)}},
        UnconfirmedCase{"UnicastWidestLimits", service::WhoIs{0, 4194303}, kDevice,
                        {transmit({0x81, 0x0A, 0x00, 0x0E, 0x01, 0x00, 0x10, 0x08, 0x09, 0x00, 0x1B, 0x3F, 0xFF, 0xFF},
                                  kDevice)}},
        // DNET, DLEN, DADR and hop count 255 after the control octet 0x20.
        UnconfirmedCase{"EveryNetwork", service::WhoIs{}, kEveryNetwork,
                        {transmit({0x81, 0x0B, 0x00, 0x0C, 0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08},
                                  kEveryNetwork)}},
        UnconfirmedCase{"RemoteNetworkThroughItsRouter", service::WhoIs{}, kRemoteNetwork,
                        {transmit({0x81, 0x0A, 0x00, 0x0C, 0x01, 0x20, 0x04, 0xD2, 0x00, 0xFF, 0x10, 0x08},
                                  kRemoteNetwork)}},
        UnconfirmedCase{"RemoteDevice", service::WhoIs{7, 7}, kRemoteDevice,
                        {transmit({0x81, 0x0A, 0x00, 0x11, 0x01, 0x20, 0x04, 0xD2, 0x01, 0x11, 0xFF, 0x10, 0x08, 0x09,
                                   0x07, 0x19, 0x07},
                                  kRemoteDevice)}},
        UnconfirmedCase{"WhoIsAnyRouter", service::WhoIsRouterToNetwork{}, kGlobalBroadcast,
                        {transmit({0x81, 0x0B, 0x00, 0x07, 0x01, 0x80, 0x00}, kGlobalBroadcast)}},
        UnconfirmedCase{"WhoIsRouterToOneNetwork", service::WhoIsRouterToNetwork{1234}, kRouter,
                        {transmit({0x81, 0x0A, 0x00, 0x09, 0x01, 0x80, 0x00, 0x04, 0xD2}, kRouter)}},
        UnconfirmedCase{"OnlyLow", service::WhoIs{5, std::nullopt}, kDevice,
                        {local_error(0, kBothOrNeither, kDevice)}},
        UnconfirmedCase{"OnlyHigh", service::WhoIs{std::nullopt, 5}, kDevice, {local_error(0, kBothOrNeither, kDevice)}},
        UnconfirmedCase{"LowAboveHigh", service::WhoIs{6, 5}, kDevice, {local_error(0, kOrder, kDevice)}},
        UnconfirmedCase{"HighBeyond22Bits", service::WhoIs{0, 4194304}, kGlobalBroadcast,
                        {local_error(0, kOrder, kGlobalBroadcast)}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace ferromesh::stack::test
