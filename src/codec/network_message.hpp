#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"

// Network-layer messages: the body of an NPDU whose control octet has the
// network-message bit, message type first. A client asks routers which
// networks they reach and hears from them when a network cannot be reached
// or is congested.
namespace ferromesh::network_message {

inline constexpr std::uint8_t kWhoIsRouterToNetwork = 0x00;
inline constexpr std::uint8_t kIAmRouterToNetwork = 0x01;
inline constexpr std::uint8_t kRejectMessageToNetwork = 0x03;
inline constexpr std::uint8_t kRouterBusyToNetwork = 0x04;
inline constexpr std::uint8_t kRouterAvailableToNetwork = 0x05;

// The networks a router reaches.
struct IAmRouterToNetwork {
  std::vector<std::uint16_t> networks;
  friend bool operator==(const IAmRouterToNetwork&, const IAmRouterToNetwork&) = default;
};

// A router could not deliver a message to `network`, for `reason`: 0 other,
// 1 the network is unknown or unreachable, 2 the router is busy, 3 unknown
// message type, 4 message too long, 5 security, 6 addressing error.
struct RejectMessageToNetwork {
  std::uint8_t reason = 0;
  std::uint16_t network = 0;
  friend bool operator==(const RejectMessageToNetwork&, const RejectMessageToNetwork&) = default;
};

// The router takes no more traffic for these networks (none listed: for any).
struct RouterBusyToNetwork {
  std::vector<std::uint16_t> networks;
  friend bool operator==(const RouterBusyToNetwork&, const RouterBusyToNetwork&) = default;
};

// The router takes traffic for these networks again (none listed: for all).
struct RouterAvailableToNetwork {
  std::vector<std::uint16_t> networks;
  friend bool operator==(const RouterAvailableToNetwork&, const RouterAvailableToNetwork&) = default;
};

using Message = std::variant<IAmRouterToNetwork, RejectMessageToNetwork, RouterBusyToNetwork, RouterAvailableToNetwork>;

// One of the four messages above, its type octet first. Lists of networks
// are whole two-octet numbers; a Reject is exactly reason and network.
// Anything else, including other message types, is InvalidData; nothing,
// IncompleteData.
Result<Message> decode(std::span<const std::uint8_t> body);

// Who-Is-Router-To-Network, asking about `network` or, without one, about
// every network the routers that hear it reach.
inline void append_who_is_router_to_network(Bytes& out, std::optional<std::uint16_t> network) {
  append_u8(out, kWhoIsRouterToNetwork);
  if (network) append_u16_be(out, *network);
}

}  // namespace ferromesh::network_message
