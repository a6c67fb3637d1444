#include "stack/datagram.hpp"

namespace ferromesh::stack::datagram {

namespace {
// Invoke ID, service choice, PDU type and max-APDU octets, sequence number
// and window size: the largest Confirmed-Request header.
constexpr std::size_t kLargestRequestHeader = 6;
constexpr std::size_t kSegmentAckLength = 4;
constexpr std::size_t kAbortLength = 3;
constexpr std::uint8_t kHopCount = 255;

// To a device on our own network, at normal priority.
const npdu::Header kRequestHeader{std::nullopt, std::nullopt, std::nullopt, true, false, 0};
const npdu::Header kNoReplyHeader{};
}  // namespace

npdu::Header header_to(const BacnetAddr& dest, bool expecting_reply, bool network_layer_message) {
  npdu::Header header;
  header.expecting_reply = expecting_reply;
  header.network_layer_message = network_layer_message;
  if (dest.remote()) {
    const auto mac = dest.mac_octets();
    header.destination = npdu::NetworkAddress{dest.network, {mac.begin(), mac.end()}};
    header.hop_count = kHopCount;
  }
  return header;
}

Bytes confirmed_request(const BacnetAddr& dest, const apdu::ConfirmedRequestHeader& header,
                        std::span<const std::uint8_t> service_data) {
  const std::size_t apdu_size = kLargestRequestHeader + service_data.size();
  const auto append_apdu = [&](Bytes& out) {
    apdu::append_confirmed_request(out, header);
    append_bytes(out, service_data);
  };
  if (!dest.remote()) return build(bvlc::kOriginalUnicastNpdu, kRequestHeader, apdu_size, append_apdu);
  return build(bvlc::kOriginalUnicastNpdu, header_to(dest, true), apdu_size, append_apdu);
}

Bytes segment_ack(const BacnetAddr& dest, const apdu::SegmentAck& ack) {
  const auto append_apdu = [&](Bytes& out) { apdu::append_segment_ack(out, ack); };
  if (!dest.remote()) return build(bvlc::kOriginalUnicastNpdu, kNoReplyHeader, kSegmentAckLength, append_apdu);
  return build(bvlc::kOriginalUnicastNpdu, header_to(dest, false), kSegmentAckLength, append_apdu);
}

Bytes abort(const BacnetAddr& dest, const apdu::Abort& abort) {
  const auto append_apdu = [&](Bytes& out) { apdu::append_abort(out, abort); };
  if (!dest.remote()) return build(bvlc::kOriginalUnicastNpdu, kNoReplyHeader, kAbortLength, append_apdu);
  return build(bvlc::kOriginalUnicastNpdu, header_to(dest, false), kAbortLength, append_apdu);
}

}  // namespace ferromesh::stack::datagram
