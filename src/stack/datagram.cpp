#include "stack/datagram.hpp"

namespace ferromesh::stack::datagram {

namespace {
// Invoke ID, service choice, PDU type and max-APDU octets, sequence number
// and window size: the largest Confirmed-Request header.
constexpr std::size_t kLargestRequestHeader = 6;
constexpr std::size_t kSegmentAckLength = 4;
constexpr std::size_t kAbortLength = 3;

// To a device on our own network, at normal priority.
const npdu::Header kRequestHeader{std::nullopt, std::nullopt, std::nullopt, true, false, 0};
const npdu::Header kNoReplyHeader{};
}  // namespace

Bytes confirmed_request(const apdu::ConfirmedRequestHeader& header, std::span<const std::uint8_t> service_data) {
  const std::size_t apdu_size = kLargestRequestHeader + service_data.size();
  return build(bvlc::kOriginalUnicastNpdu, kRequestHeader, apdu_size, [&](Bytes& out) {
    apdu::append_confirmed_request(out, header);
    append_bytes(out, service_data);
  });
}

Bytes segment_ack(const apdu::SegmentAck& ack) {
  return build(bvlc::kOriginalUnicastNpdu, kNoReplyHeader, kSegmentAckLength,
               [&](Bytes& out) { apdu::append_segment_ack(out, ack); });
}

Bytes abort(const apdu::Abort& abort) {
  return build(bvlc::kOriginalUnicastNpdu, kNoReplyHeader, kAbortLength,
               [&](Bytes& out) { apdu::append_abort(out, abort); });
}

}  // namespace ferromesh::stack::datagram
