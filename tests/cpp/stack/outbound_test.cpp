// What the stack puts on the wire for a request, and what it refuses to.
#include <gtest/gtest.h>

#include <algorithm>

#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

using PV = PropertyValue;

ObjectIdentifier object(std::uint16_t type, std::uint32_t instance) { return {ObjectType::from_u16(type), instance}; }

input::Send write(ObjectIdentifier id, PV value) {
  return {service::WriteProperty{id, PropertyIdentifier::Member::PresentValue, std::move(value), std::nullopt, 8},
          kDevice};
}

struct RefusalCase {
  const char* name;
  input::Send request;
  const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public testing::TestWithParam<RefusalCase> {};

// Narrowed, each of these would reach another object or carry another value.
TEST_P(Refusal, SendsNothingAndSaysWhy) {
  Stack stack;
  EXPECT_EQ(stack.process(GetParam().request), std::vector<Output>{local_error(0, GetParam().message, kDevice)});
  EXPECT_TRUE(stack.transactions().empty());
  expect_invariants(stack);
  // The ID went back: the next request may use it.
  EXPECT_EQ(stack.process(read_property(kDevice)).size(), 2u);
  EXPECT_TRUE(stack.transactions().contains(TransactionKey{kDevice, 1}));
}

const RefusalCase kRefusals[] = {
    {"ReadTypeAbove1023",
     {service::ReadProperty{object(1026, 1), PropertyIdentifier::Member::PresentValue, std::nullopt}, kDevice},
     "object identifier type 1026 is above 1023"},
    {"WriteObjectAboveBoth", write(object(1026, 4194305), {PV::Real{1.0f}}),
     "object identifier type 1026 is above 1023"},
    {"WriteValueObjectIdentifier", write(object(2, 1), {object(8, 4194305)}),
     "object identifier instance 4194305 is above 4194303"},
    {"WriteDateYear1899InArray", write(object(2, 1), {PV::Array{{PV{PV::Null{}}, PV{PV::Date{1899, 1, 1, 0}}}}}),
     "date year 1899 is outside 1900..2154"},
    {"WriteUnusedBits10", write(object(2, 1), {PV::BitString{10, {0xFF, 0xC0}}}),
     "bit string unused-bits count 10 is above 7"},
    {"ReadMultipleSecondObject",
     {service::ReadPropertyMultiple{{{object(8, 1), {}}, {object(8, 4194304), {}}}}, kDevice},
     "object identifier instance 4194304 is above 4194303"},
};

INSTANTIATE_TEST_SUITE_P(Values, Refusal, testing::ValuesIn(kRefusals),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

std::vector<std::optional<std::uint8_t>> transmit_ids(const std::vector<Output>& outputs) {
  std::vector<std::optional<std::uint8_t>> ids;
  for (const Output& output : outputs) {
    if (const auto* transmit = std::get_if<output::Transmit>(&output)) ids.push_back(transmit->invoke_id);
  }
  return ids;
}

using Ids = std::vector<std::optional<std::uint8_t>>;

// `count` datagrams (at least one), all of request `id`.
Ids of(std::uint8_t id, std::size_t count) { return Ids(count, id); }

// First sends, re-sends, moved windows and re-sent windows all carry the
// request's ID, so that a host never reads it out of the octets.
TEST(OutboundInvokeId, EveryRequestDatagramCarriesItsId) {
  Stack stack(StackConfig{.max_apdu_length = 50});  // 44 octets per segment
  EXPECT_EQ(transmit_ids(stack.process(read_property(kDevice))), (Ids{0}));
  const Ids first = transmit_ids(stack.process(write_octets(kDevice, 440)));
  EXPECT_EQ(first, of(1, std::max<std::size_t>(first.size(), 1)));
  EXPECT_EQ(transmit_ids(stack.process(read_property(kOtherDevice))), (Ids{0}));
  // The server acknowledges segment 0 and asks for windows of 2.
  const Ids window = transmit_ids(stack.process(from(kDevice, device_datagram({0x41, 1, 0, 2}))));
  EXPECT_EQ(window, of(1, std::max<std::size_t>(window.size(), 1)));
  EXPECT_TRUE(transmit_ids(stack.process(tick(1.0))).empty());
  // Both reads again, then the unacknowledged window again.
  const Ids again = transmit_ids(stack.process(tick(3.0)));
  ASSERT_GE(again.size(), 3u);
  Ids expected = of(0, 2);
  expected.resize(again.size(), 1);
  EXPECT_EQ(again, expected);
}

}  // namespace
}  // namespace ferromesh::stack::test
