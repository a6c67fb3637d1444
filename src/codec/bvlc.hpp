#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codec/byte_writer.hpp"

namespace ferromesh::bvlc {

inline constexpr std::uint8_t kTypeBacnetIp = 0x81;
inline constexpr std::uint8_t kOriginalUnicastNpdu = 0x0A;
inline constexpr std::uint8_t kOriginalBroadcastNpdu = 0x0B;
inline constexpr std::size_t kHeaderLength = 4;

// A whole Original-Unicast-NPDU datagram: 0x81 0x0A, total length, the NPDU.
Bytes wrap_unicast(std::span<const std::uint8_t> npdu);

// The NPDU of a received datagram, or nothing when the datagram must be
// dropped: fewer than 4 octets, a type other than 0x81, a function other than
// Original-Unicast/Broadcast-NPDU, or a length field below 4 or beyond the
// datagram. Octets past the length field are not part of the NPDU.
std::optional<std::span<const std::uint8_t>> unwrap(std::span<const std::uint8_t> datagram) noexcept;

}  // namespace ferromesh::bvlc
