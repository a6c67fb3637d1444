// Encoder side: values of every variant, built from the fuzz input, encode and
// decode back; what the wire cannot carry as given is refused for sending.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "codec/types.hpp"
#include "value_builder.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const BuiltValue built = make_value(in);
  FUZZ_CHECK(encode_refusal(built.value).has_value() == built.refused);
  const Bytes encoded = encode(built.value);

  if (const auto* any = std::get_if<PropertyValue::Any>(&built.value.variant)) {
    FUZZ_CHECK(same_bytes(encoded, any->octets));
    return 0;
  }

  // An array is its elements back to back; decode them one at a time. Inexact
  // values may hold Any octets, which can be thousands of one-octet values:
  // a few of them say as much.
  std::vector<PropertyValue> expected;
  flatten(built.value, expected);
  const std::size_t limit = built.exact ? expected.size() : 64;
  std::vector<PropertyValue> decoded;
  ByteSpan rest = encoded;
  while (!rest.empty() && decoded.size() < limit) {
    auto next = PropertyValue::decode(rest);
    if (!next) break;
    FUZZ_CHECK(next->consumed >= 1 && next->consumed <= rest.size());
    decoded.push_back(next->value);
    rest = rest.subspan(next->consumed);
  }

  if (built.exact) {
    FUZZ_CHECK(rest.empty());
    FUZZ_CHECK(decoded.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) FUZZ_CHECK(same_value(decoded[i], expected[i]));
    if (expected.size() == 1) check_strict_prefixes_fail(encoded);
  }
  // Values the wire cannot carry unchanged may come back altered (a repaired
  // text, a clamped year), but what comes back is then carried unchanged.
  for (const auto& value : decoded) {
    const Bytes reencoded = encode(value);
    auto again = PropertyValue::decode(reencoded);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(again->consumed == reencoded.size());
    FUZZ_CHECK(same_value(again->value, value));
  }
  return 0;
}
