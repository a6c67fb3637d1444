// Every APDU header decoder on the same arbitrary octets: at most the one for
// the PDU type in the first octet may accept them.
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "codec/apdu.hpp"
#include "codec/types.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

namespace {

// An accepted header must belong to the PDU type of the first octet.
void check_type(ByteSpan input, apdu::PduType expected) {
  const auto type = apdu::pdu_type(input);
  FUZZ_CHECK(type.has_value());
  FUZZ_CHECK(*type == static_cast<std::uint8_t>(expected));
}

void check_complex_ack(ByteSpan input) {
  auto ack = apdu::decode_complex_ack(input);
  if (!ack) return;
  check_type(input, apdu::PduType::ComplexAck);
  // The payload is everything after the header: 3 octets, 5 when segmented.
  FUZZ_CHECK(ends_with_slice(ack->payload, input));
  FUZZ_CHECK(ack->payload.size() == input.size() - (ack->segmentation ? 5u : 3u));
}

void check_error(ByteSpan input) {
  auto error = apdu::decode_error_apdu(input);
  if (!error) return;
  check_type(input, apdu::PduType::Error);
  // Written back with shortest Enumerated tags, it reads the same.
  Bytes encoded{0x50, error->invoke_id, error->service_choice};
  PropertyValue{PropertyValue::Enumerated{error->error_class}}.encode_tag_and_value(encoded);
  PropertyValue{PropertyValue::Enumerated{error->error_code}}.encode_tag_and_value(encoded);
  auto again = apdu::decode_error_apdu(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->error_class == error->error_class && again->error_code == error->error_code);
  FUZZ_CHECK(again->invoke_id == error->invoke_id && again->service_choice == error->service_choice);
}

void check_segment_ack(ByteSpan input) {
  auto ack = apdu::decode_segment_ack(input);
  if (!ack) return;
  check_type(input, apdu::PduType::SegmentAck);
  Bytes encoded;
  apdu::append_segment_ack(encoded, ack.value());
  auto again = apdu::decode_segment_ack(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->negative == ack->negative && again->server == ack->server);
  FUZZ_CHECK(again->invoke_id == ack->invoke_id && again->sequence_number == ack->sequence_number &&
             again->actual_window_size == ack->actual_window_size);
}

void check_unconfirmed(ByteSpan input) {
  auto request = apdu::decode_unconfirmed_request(input);
  if (!request) return;
  check_type(input, apdu::PduType::UnconfirmedRequest);
  FUZZ_CHECK(ends_with_slice(request->service_data, input));
  FUZZ_CHECK(request->service_data.size() == input.size() - 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  FUZZ_CHECK(apdu::pdu_type(input).has_value() == !input.empty());

  check_complex_ack(input);
  check_error(input);
  check_segment_ack(input);
  check_unconfirmed(input);
  if (apdu::decode_simple_ack(input)) check_type(input, apdu::PduType::SimpleAck);
  if (apdu::decode_reject(input)) check_type(input, apdu::PduType::Reject);
  if (auto abort = apdu::decode_abort(input)) {
    check_type(input, apdu::PduType::Abort);
    Bytes encoded;
    apdu::append_abort(encoded, abort.value());
    FUZZ_CHECK(same_bytes(encoded, input.first(3)) || (input[0] & 0x0E) != 0);
  }
  return 0;
}
