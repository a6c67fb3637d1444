// What routers send a client: network-layer messages, and NPDU addresses
// that must be refused. (BVLC-Results and Forwarded-NPDUs: the engine's
// receive table and the BVLC fuzz target.)
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "codec/network_message.hpp"
#include "codec/npdu.hpp"

namespace ferromesh {
namespace {

using Octets = std::vector<std::uint8_t>;
namespace nm = network_message;

struct MessageCase {
  const char* name;
  Octets wire;
  nm::Message message;
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class NetworkMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(NetworkMessage, DecodesAndEveryPrefixIsRefused) {
  const auto decoded = nm::decode(GetParam().wire);
  ASSERT_TRUE(decoded.ok()) << to_string(decoded.error());
  EXPECT_EQ(decoded.value(), GetParam().message);
  // A prefix is either a shorter list (an odd count of octets: refused) or
  // a Reject cut short; only an even-length list prefix is a message itself.
  for (std::size_t n = 0; n < GetParam().wire.size(); ++n) {
    const auto prefix = nm::decode(std::span(GetParam().wire).first(n));
    const bool shorter_list = n >= 1 && n % 2 == 1 && !std::holds_alternative<nm::RejectMessageToNetwork>(
                                                          GetParam().message);
    EXPECT_EQ(prefix.ok(), shorter_list) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Routers, NetworkMessage,
    testing::Values(
        MessageCase{"IAmRouter", {0x01, 0x00, 0x05, 0x27, 0x10}, nm::IAmRouterToNetwork{{5, 10000}}},
        MessageCase{"IAmRouterOfNothing", {0x01}, nm::IAmRouterToNetwork{}},
        MessageCase{"IAmRouterExtremes", {0x01, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x00},
                    nm::IAmRouterToNetwork{{0, 65535, 256}}},
        MessageCase{"RejectUnknownNetwork", {0x03, 0x01, 0x04, 0xD2}, nm::RejectMessageToNetwork{1, 1234}},
        MessageCase{"RejectBusy", {0x03, 0x02, 0xFF, 0xFE}, nm::RejectMessageToNetwork{2, 0xFFFE}},
        MessageCase{"BusyForAll", {0x04}, nm::RouterBusyToNetwork{}},
        MessageCase{"BusyForTwo", {0x04, 0x04, 0xD2, 0x00, 0x05}, nm::RouterBusyToNetwork{{1234, 5}}},
        MessageCase{"AvailableAgain", {0x05, 0x04, 0xD2}, nm::RouterAvailableToNetwork{{1234}}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(NetworkMessage, RefusesWhatItDoesNotRead) {
  const std::vector<std::pair<Octets, DecodeError>> cases = {
      {{}, DecodeError::IncompleteData},
      {{0x01, 0x00}, DecodeError::InvalidData},                    // half a network number
      {{0x03, 0x01, 0x04}, DecodeError::IncompleteData},           // Reject without its whole network
      {{0x03, 0x01, 0x04, 0xD2, 0x00}, DecodeError::InvalidData},  // and with an octet too many
      {{0x00, 0x04, 0xD2}, DecodeError::InvalidData},              // Who-Is-Router: asked, never answered
      {{0x02, 0x04, 0xD2}, DecodeError::InvalidData},              // I-Could-Be-Router
      {{0x80, 0x01, 0x04}, DecodeError::InvalidData},              // proprietary
  };
  for (const auto& [wire, error] : cases) {
    const auto decoded = nm::decode(wire);
    ASSERT_FALSE(decoded.ok()) << testing::PrintToString(wire);
    EXPECT_EQ(decoded.error(), error) << testing::PrintToString(wire);
  }
}

TEST(NetworkMessage, WhoIsRouterToNetworkWithAndWithoutNetwork) {
  Octets out{0x01, 0x80};  // appended after an NPDU header
  nm::append_who_is_router_to_network(out, std::nullopt);
  nm::append_who_is_router_to_network(out, 0x04D2);
  EXPECT_EQ(out, (Octets{0x01, 0x80, 0x00, 0x00, 0x04, 0xD2}));
}

// Addresses a well-formed NPDU cannot carry; each otherwise complete.
TEST(NpduDecode, RefusesAddressesThatNameNoDevice) {
  const std::vector<std::pair<const char*, Octets>> cases = {
      {"source of the global network", {0x01, 0x08, 0xFF, 0xFF, 0x01, 0x11, 0x10, 0x08}},
      {"source without a MAC", {0x01, 0x08, 0x04, 0xD2, 0x00, 0x10, 0x08}},
      {"source network 0", {0x01, 0x08, 0x00, 0x00, 0x01, 0x11, 0x10, 0x08}},
      {"destination network 0", {0x01, 0x20, 0x00, 0x00, 0x00, 0xFF, 0x10, 0x08}},
  };
  for (const auto& [name, wire] : cases) {
    const auto frame = npdu::decode(wire);
    ASSERT_FALSE(frame.ok()) << name;
    EXPECT_EQ(frame.error(), DecodeError::InvalidData) << name;
  }
}

}  // namespace
}  // namespace ferromesh
