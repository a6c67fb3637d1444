#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"

namespace ferromesh::npdu {

inline constexpr std::uint8_t kProtocolVersion = 0x01;
inline constexpr std::uint8_t kControlNetworkMessage = 0x80;
inline constexpr std::uint8_t kControlDestination = 0x20;
inline constexpr std::uint8_t kControlSource = 0x08;
inline constexpr std::uint8_t kControlExpectingReply = 0x04;
inline constexpr std::uint8_t kControlPriority = 0x03;
inline constexpr std::uint8_t kMessageIAmRouterToNetwork = 0x01;
// DNET of a global broadcast: every network.
inline constexpr std::uint16_t kGlobalNetwork = 0xFFFF;

struct NetworkAddress {
  std::uint16_t net = 0;
  std::vector<std::uint8_t> mac;  // 0..255 octets
  friend bool operator==(const NetworkAddress&, const NetworkAddress&) = default;
};

// What precedes the APDU or network-layer message. Both addresses are
// absent for a device on our own network; a routed request names its DNET
// and DADR, a router's message its SNET and SADR.
struct Header {
  std::optional<NetworkAddress> destination;
  std::optional<NetworkAddress> source;
  std::optional<std::uint8_t> hop_count;  // only with a destination; 255 when absent
  bool expecting_reply = false;
  // The body is a network-layer message (its type octet first), not an APDU.
  bool network_layer_message = false;
  std::uint8_t priority = 0;  // 0..3
};

struct NpduFrame {
  std::optional<NetworkAddress> destination;
  std::optional<NetworkAddress> source;
  std::span<const std::uint8_t> apdu;  // borrowed from the decoded input
  std::optional<std::uint8_t> hop_count;
  bool expecting_reply = false;
  bool network_layer_message = false;
  std::uint8_t priority = 0;
};

// Appends version, control, [DNET DLEN DADR], [SNET SLEN SADR], [hop
// count]; the caller appends the body. Inline for the common case of a
// datagram to our own network, which has no addresses.
void append_addresses(Bytes& out, const Header& header);
inline void append_header(Bytes& out, const Header& header) {
  std::uint8_t control = header.priority & kControlPriority;
  if (header.network_layer_message) control |= kControlNetworkMessage;
  if (header.destination) control |= kControlDestination;
  if (header.source) control |= kControlSource;
  if (header.expecting_reply) control |= kControlExpectingReply;
  append_u8(out, kProtocolVersion);
  append_u8(out, control);
  if (header.destination || header.source) append_addresses(out, header);
}
// Refuses with InvalidData, besides a version other than 1: network 0 in
// either address, and a source that is a broadcast (network 0xFFFF or no
// MAC); with IncompleteData an address or hop count cut short.
Result<NpduFrame> decode(std::span<const std::uint8_t> data);

}  // namespace ferromesh::npdu
