// Encoder side: trees of context-tagged and constructed data built from the
// fuzz input encode and decode back as one element.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "codec/elements.hpp"
#include "value_builder.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const BuiltValue built = make_element(in);
  // What the wire cannot carry as given is refused for sending, however deep.
  FUZZ_CHECK(encode_refusal(built.value).has_value() == built.refused);
  const Bytes encoded = encode(built.value);
  auto decoded = decode_element(encoded);
  if (!built.exact) {
    // What comes back, if anything, is then carried unchanged.
    if (!decoded) return 0;
    const Bytes again = encode(decoded->value);
    const auto reread = decode_element(again);
    FUZZ_CHECK(reread.ok());
    FUZZ_CHECK(same_bytes(encode(reread->value), again));
    return 0;
  }
  FUZZ_CHECK(decoded.ok());
  FUZZ_CHECK(decoded->consumed == encoded.size());
  FUZZ_CHECK(same_value(decoded->value, built.value));
  FUZZ_CHECK(!decode_element(ByteSpan(encoded).first(encoded.size() - 1)).ok());
  return 0;
}
