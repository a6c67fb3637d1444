// PropertyValue::decode on arbitrary octets.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "check.hpp"
#include "codec/types.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

namespace {

// The content length an application tag announces, and the octets of the
// header and length field; nothing where the input ends first. LVT 6 and 7
// never decode, whatever they would announce.
struct Announced {
  std::uint32_t length = 0;
  std::size_t header = 1;
};

std::optional<Announced> announced(ByteSpan input) {
  const std::uint8_t lvt = input[0] & 0x07;
  if (lvt < 5) return Announced{lvt, 1};
  if (input.size() < 2) return std::nullopt;
  if (input[1] < 254) return Announced{input[1], 2};
  const std::size_t octets = input[1] == 254 ? 2 : 4;
  if (input.size() < 2 + octets) return std::nullopt;
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < octets; ++i) length = length << 8 | input[2 + i];
  return Announced{length, 2 + octets};
}

// Content sizes of the fixed-size values by tag number; -1 for the others
// (Boolean's value is its length field).
constexpr std::array<int, 13> kFixedSize = {0, -1, -1, -1, 4, 8, -1, -1, -1, -1, 4, 4, 4};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  auto decoded = PropertyValue::decode(input);
  if (!decoded) return 0;

  const std::size_t consumed = decoded->consumed;
  const PropertyValue& value = decoded->value;
  FUZZ_CHECK(consumed >= 1 && consumed <= size);
  FUZZ_CHECK(!std::holds_alternative<PropertyValue::Array>(value.variant));
  FUZZ_CHECK(!std::holds_alternative<PropertyValue::Any>(value.variant));

  // A fixed-size value decodes only from a length field that gives its size,
  // and takes exactly that: another length is refused, never re-framed.
  const std::uint8_t tag = input[0] >> 4;
  if (tag < kFixedSize.size() && kFixedSize[tag] >= 0) {
    const auto length = announced(input);
    FUZZ_CHECK(length.has_value());
    FUZZ_CHECK(length->length == static_cast<std::uint32_t>(kFixedSize[tag]));
    FUZZ_CHECK(consumed == length->header + length->length);
  }

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
