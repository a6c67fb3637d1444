#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/apdu.hpp"
#include "codec/byte_writer.hpp"

// Whole BACnet/IP datagrams as the client sends them: BVLC Original-Unicast,
// an NPDU without addresses at normal priority, then the APDU. Each is built
// in one vector so that service data is copied exactly once.
namespace ferromesh::stack::datagram {

// BVLC (4) + NPDU (2): what a datagram adds to its APDU.
inline constexpr std::size_t kFramingLength = 6;
// The BVLC length field is 16 bits wide, which bounds every APDU we frame.
inline constexpr std::size_t kLargestApdu = 0xFFFF - kFramingLength;

// A Confirmed-Request with segmented-response-accepted, max-segments 0 and
// max-APDU code 5, expecting a reply. `service_data` must fit kLargestApdu.
Bytes confirmed_request(std::uint8_t invoke_id, std::uint8_t service_choice,
                        const std::optional<apdu::SegmentHeader>& segment, std::span<const std::uint8_t> service_data);

// A positive SegmentACK from the client (NAK and SRV clear), expecting no reply.
Bytes segment_ack(std::uint8_t invoke_id, std::uint8_t sequence_number, std::uint8_t window_size);

}  // namespace ferromesh::stack::datagram
