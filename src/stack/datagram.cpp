#include "stack/datagram.hpp"

#include <utility>

#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"

namespace ferromesh::stack::datagram {

namespace {

void append_headers(Bytes& out, bool expecting_reply) {
  append_u8(out, bvlc::kTypeBacnetIp);
  append_u8(out, bvlc::kOriginalUnicastNpdu);
  append_u16_be(out, 0);  // length, patched by finish
  append_u8(out, npdu::kProtocolVersion);
  append_u8(out, expecting_reply ? npdu::kControlExpectingReply : std::uint8_t{0});
}

Bytes finish(Bytes out) {
  out[2] = static_cast<std::uint8_t>(out.size() >> 8);
  out[3] = static_cast<std::uint8_t>(out.size());
  return out;
}

}  // namespace

Bytes confirmed_request(std::uint8_t invoke_id, std::uint8_t service_choice,
                        const std::optional<apdu::SegmentHeader>& segment, std::span<const std::uint8_t> service_data) {
  Bytes out;
  out.reserve(kFramingLength + 6 + service_data.size());
  append_headers(out, true);

  std::uint8_t first = apdu::kFlagSegmentedResponseAccepted;  // PDU type 0 in the high nibble
  if (segment) first |= apdu::kFlagSegmented;
  if (segment && segment->more_follows) first |= apdu::kFlagMoreFollows;
  append_u8(out, first);
  append_u8(out, apdu::kMaxApduCode1476);  // max-segments 0: no limit stated
  append_u8(out, invoke_id);
  if (segment) {
    append_u8(out, segment->sequence_number);
    append_u8(out, segment->proposed_window_size);
  }
  append_u8(out, service_choice);
  append_bytes(out, service_data);
  return finish(std::move(out));
}

Bytes segment_ack(std::uint8_t invoke_id, std::uint8_t sequence_number, std::uint8_t window_size) {
  Bytes out;
  out.reserve(kFramingLength + 4);
  append_headers(out, false);
  append_u8(out, static_cast<std::uint8_t>(static_cast<unsigned>(apdu::PduType::SegmentAck) << 4));
  append_u8(out, invoke_id);
  append_u8(out, sequence_number);
  append_u8(out, window_size);
  return finish(std::move(out));
}

}  // namespace ferromesh::stack::datagram
