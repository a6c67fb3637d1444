// PropertyValue::decode on arbitrary octets.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "check.hpp"
#include "codec/types.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  auto decoded = PropertyValue::decode(input);
  if (!decoded) return 0;

  const std::size_t consumed = decoded->consumed;
  const PropertyValue& value = decoded->value;
  FUZZ_CHECK(consumed >= 1 && consumed <= size);
  FUZZ_CHECK(!std::holds_alternative<PropertyValue::Array>(value.variant));
  FUZZ_CHECK(!std::holds_alternative<PropertyValue::Any>(value.variant));

  // The value depends only on the octets it consumed.
  auto alone = PropertyValue::decode(input.first(consumed));
  FUZZ_CHECK(alone.ok());
  FUZZ_CHECK(alone->consumed == consumed);
  FUZZ_CHECK(same_value(alone->value, value));

  // Whatever the decoder produces, the encoder writes back so that it decodes
  // identical, in exactly the octets written.
  const Bytes encoded = encode(value);
  auto again = PropertyValue::decode(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->consumed == encoded.size());
  FUZZ_CHECK(same_value(again->value, value));
  check_strict_prefixes_fail(encoded);
  return 0;
}
