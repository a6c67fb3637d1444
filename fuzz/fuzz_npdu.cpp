// npdu::decode on arbitrary octets (a BVLC payload).
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "codec/npdu.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

namespace {

bool same_frame(const npdu::NpduFrame& a, const npdu::NpduFrame& b) {
  return a.destination == b.destination && a.source == b.source && a.hop_count == b.hop_count &&
         a.expecting_reply == b.expecting_reply && a.network_layer_message == b.network_layer_message &&
         a.priority == b.priority && same_bytes(a.apdu, b.apdu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  auto frame = npdu::decode(input);
  if (!frame) return 0;

  // The APDU is the rest of the input, borrowed from it.
  FUZZ_CHECK(ends_with_slice(frame->apdu, input));
  FUZZ_CHECK(frame->priority <= 3);
  FUZZ_CHECK(!frame->hop_count || frame->destination);
  // Network 0 is nobody's; a source names one device: one network, a MAC.
  FUZZ_CHECK(!frame->destination || frame->destination->net != 0);
  FUZZ_CHECK(!frame->source || (frame->source->net != 0 && frame->source->net != 0xFFFF && !frame->source->mac.empty()));

  // Encoding the decoded frame gives back the input, except for the two
  // reserved control bits, which the decoder ignores and the encoder clears.
  Bytes encoded;
  npdu::append_header(encoded, {frame->destination, frame->source, frame->hop_count, frame->expecting_reply,
                                frame->network_layer_message, frame->priority});
  append_bytes(encoded, frame->apdu);
  Bytes expected(input.begin(), input.end());
  expected[1] = static_cast<std::uint8_t>(expected[1] & ~0x50);
  FUZZ_CHECK(same_bytes(encoded, expected));

  auto again = npdu::decode(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(same_frame(again.value(), frame.value()));
  return 0;
}
