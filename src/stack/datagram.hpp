#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/byte_writer.hpp"
#include "codec/npdu.hpp"
#include "stack/types.hpp"

// Whole BACnet/IP datagrams as the client sends them, each built in one
// buffer by the codec's encoders: BVLC, an NPDU at normal priority (naming
// the destination network and MAC when the device is behind a router), then
// the APDU or network-layer message.
namespace ferromesh::stack::datagram {

// BVLC (4) + NPDU (2): what a datagram adds to its APDU.
inline constexpr std::size_t kFramingLength = bvlc::kHeaderLength + 2;
// The BVLC length field bounds every APDU we frame.
inline constexpr std::size_t kLargestApdu = bvlc::kLargestDatagram - kFramingLength;

// DNET (2), DLEN (1), DADR and the hop count (1): what the NPDU to a device
// behind a router adds.
inline std::size_t routing_length(const BacnetAddr& dest) noexcept {
  return dest.remote() ? 4u + dest.mac_length : 0u;
}

// The largest APDU a datagram to `dest` can carry.
inline std::size_t largest_apdu(const BacnetAddr& dest) noexcept { return kLargestApdu - routing_length(dest); }

// The NPDU header of a datagram to `dest`: a device behind a router gets
// its network and MAC as DNET/DADR (a network without MAC: DLEN 0, every
// device there) and the hop count 255.
npdu::Header header_to(const BacnetAddr& dest, bool expecting_reply, bool network_layer_message = false);

// BVLC `function`, the NPDU header, then what `append_body(out)` appends:
// at most largest_apdu octets, of which `body_size` are reserved.
template <class AppendBody>
Bytes build(std::uint8_t function, const npdu::Header& header, std::size_t body_size, AppendBody&& append_body) {
  Bytes out;
  out.reserve(kFramingLength + body_size + (header.destination ? 4 + header.destination->mac.size() : 0));
  const std::size_t start = bvlc::begin(out, function);
  npdu::append_header(out, header);
  append_body(out);
  bvlc::finish(out, start);
  return out;
}

// A Confirmed-Request (or one segment of it) to a device, expecting a reply.
Bytes confirmed_request(const BacnetAddr& dest, const apdu::ConfirmedRequestHeader& header,
                        std::span<const std::uint8_t> service_data);

// A SegmentACK to a device, expecting no reply.
Bytes segment_ack(const BacnetAddr& dest, const apdu::SegmentAck& ack);

// An Abort to a device, expecting no reply.
Bytes abort(const BacnetAddr& dest, const apdu::Abort& abort);

}  // namespace ferromesh::stack::datagram
