// bvlc::unwrap on arbitrary datagrams, and bvlc::wrap_unicast back.
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "codec/bvlc.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);

  if (auto npdu = bvlc::unwrap(input)) {
    // The NPDU follows the 4-octet header, inside the datagram.
    FUZZ_CHECK(within(*npdu, input));
    FUZZ_CHECK(npdu->empty() || npdu->data() == input.data() + bvlc::kHeaderLength);
    const Bytes rewrapped = bvlc::wrap_unicast(*npdu);
    auto again = bvlc::unwrap(rewrapped);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(same_bytes(*again, *npdu));
  }

  // Any NPDU that fits the 16-bit length field comes back out of its datagram.
  if (size <= 0xFFFF - bvlc::kHeaderLength) {
    const Bytes wrapped = bvlc::wrap_unicast(input);
    FUZZ_CHECK(wrapped.size() == size + bvlc::kHeaderLength);
    auto unwrapped = bvlc::unwrap(wrapped);
    FUZZ_CHECK(unwrapped.has_value());
    FUZZ_CHECK(same_bytes(*unwrapped, input));
  }
  return 0;
}
