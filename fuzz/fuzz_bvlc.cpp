// bvlc::unwrap on arbitrary datagrams, and bvlc::begin/finish back.
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "codec/bvlc.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

namespace {

Bytes wrap(std::uint8_t function, ByteSpan content) {
  Bytes out;
  const std::size_t start = bvlc::begin(out, function);
  append_bytes(out, content);
  bvlc::finish(out, start);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);

  if (auto frame = bvlc::unwrap(input)) {
    // The NPDU follows the header (and a forwarded NPDU's originator), inside the datagram.
    FUZZ_CHECK(within(frame->npdu, input));
    FUZZ_CHECK(frame->function == input[1]);
    const auto forwarded_from = frame->forwarded_from();
    FUZZ_CHECK(forwarded_from.has_value() == (frame->function == bvlc::kForwardedNpdu));
    const std::size_t offset = bvlc::kHeaderLength + (forwarded_from ? bvlc::kBipAddressLength : 0);
    FUZZ_CHECK(frame->npdu.data() == input.data() + offset);
    if (forwarded_from) FUZZ_CHECK(same_bytes(*forwarded_from, input.subspan(bvlc::kHeaderLength, bvlc::kBipAddressLength)));
    const Bytes rewrapped = wrap(bvlc::kOriginalUnicastNpdu, frame->npdu);
    auto again = bvlc::unwrap(rewrapped);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(same_bytes(again->npdu, frame->npdu));
  }

  // A BVLC-Result carries a code and no NPDU; only the seven defined codes count.
  if (const auto code = bvlc::result_code(input)) {
    FUZZ_CHECK(size >= 6 && input[1] == bvlc::kResult && input[2] == 0 && input[3] == 6);
    FUZZ_CHECK(*code == (input[4] << 8 | input[5]) && *code % 0x10 == 0 && *code <= 0x60);
    FUZZ_CHECK(!bvlc::unwrap(input));
  }

  // Register-Foreign-Device with a time-to-live from the input: six octets, no NPDU.
  if (size >= 2) {
    Bytes registration;
    bvlc::append_register_foreign_device(registration, static_cast<std::uint16_t>(input[0] << 8 | input[1]));
    FUZZ_CHECK(same_bytes(registration, Bytes{0x81, 0x05, 0x00, 0x06, input[0], input[1]}));
    FUZZ_CHECK(!bvlc::unwrap(registration) && !bvlc::result_code(registration));
  }

  // Any NPDU that fits the 16-bit length field comes back out of its datagram.
  if (size <= bvlc::kLargestDatagram - bvlc::kHeaderLength) {
    const Bytes wrapped = wrap(bvlc::kOriginalBroadcastNpdu, input);
    FUZZ_CHECK(wrapped.size() == size + bvlc::kHeaderLength);
    auto unwrapped = bvlc::unwrap(wrapped);
    FUZZ_CHECK(unwrapped.has_value());
    FUZZ_CHECK(same_bytes(unwrapped->npdu, input));
  }
  return 0;
}
