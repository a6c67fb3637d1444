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
inline constexpr std::uint8_t kMessageIAmRouterToNetwork = 0x01;

struct NetworkAddress {
  std::uint16_t net = 0;
  std::vector<std::uint8_t> mac;  // 0..255 octets
  friend bool operator==(const NetworkAddress&, const NetworkAddress&) = default;
};

struct NpduEncodeParams {
  std::optional<NetworkAddress> destination;
  std::optional<NetworkAddress> source;
  std::span<const std::uint8_t> apdu;
  std::optional<std::uint8_t> hop_count;  // only with a destination; 255 when absent
  bool expecting_reply = false;
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

// Version, control, [DNET DLEN DADR], [SNET SLEN SADR], [hop count], then apdu.
Bytes encode(const NpduEncodeParams& params);
Result<NpduFrame> decode(std::span<const std::uint8_t> data);

}  // namespace ferromesh::npdu
