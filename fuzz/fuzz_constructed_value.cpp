// decode_element on arbitrary octets: any sequence of application tags,
// context tags and opening/closing tags, nested or not.
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "codec/elements.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  auto decoded = decode_element(input);
  if (!decoded) return 0;
  const std::size_t consumed = decoded->consumed;
  FUZZ_CHECK(consumed >= 1 && consumed <= size);

  // The element depends only on the octets it consumed.
  auto alone = decode_element(input.first(consumed));
  FUZZ_CHECK(alone.ok());
  FUZZ_CHECK(alone->consumed == consumed);
  FUZZ_CHECK(same_value(alone->value, decoded->value));

  // Written back it decodes the same, in exactly the octets written, and
  // what is written then is written again unchanged: lossless.
  const Bytes encoded = encode(decoded->value);
  auto again = decode_element(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->consumed == encoded.size());
  FUZZ_CHECK(same_value(again->value, decoded->value));
  FUZZ_CHECK(same_bytes(encode(again->value), encoded));
  for (std::size_t n = 0; n < encoded.size() && n < 16; ++n) FUZZ_CHECK(!decode_element(ByteSpan(encoded).first(n)).ok());
  FUZZ_CHECK(!decode_element(ByteSpan(encoded).first(encoded.size() - 1)).ok());
  return 0;
}
