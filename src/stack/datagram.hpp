#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/byte_writer.hpp"
#include "codec/npdu.hpp"

// Whole BACnet/IP datagrams as the client sends them, each built in one
// buffer by the codec's encoders: BVLC, an NPDU at normal priority without
// network addresses, then the APDU.
namespace ferromesh::stack::datagram {

// BVLC (4) + NPDU (2): what a datagram adds to its APDU.
inline constexpr std::size_t kFramingLength = bvlc::kHeaderLength + 2;
// The BVLC length field bounds every APDU we frame.
inline constexpr std::size_t kLargestApdu = bvlc::kLargestDatagram - kFramingLength;

// BVLC `function`, the NPDU header, then what `append_apdu(out)` appends:
// at most kLargestApdu octets, of which `apdu_size` are reserved.
template <class AppendApdu>
Bytes build(std::uint8_t function, const npdu::Header& header, std::size_t apdu_size, AppendApdu&& append_apdu) {
  Bytes out;
  out.reserve(kFramingLength + apdu_size);
  const std::size_t start = bvlc::begin(out, function);
  npdu::append_header(out, header);
  append_apdu(out);
  bvlc::finish(out, start);
  return out;
}

// A Confirmed-Request (or one segment of it) to a device, expecting a reply.
Bytes confirmed_request(const apdu::ConfirmedRequestHeader& header, std::span<const std::uint8_t> service_data);

// A SegmentACK to a device, expecting no reply.
Bytes segment_ack(const apdu::SegmentAck& ack);

// An Abort to a device, expecting no reply.
Bytes abort(const apdu::Abort& abort);

}  // namespace ferromesh::stack::datagram
