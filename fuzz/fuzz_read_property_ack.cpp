// read_property::decode_response on arbitrary octets (a ComplexACK payload).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "check.hpp"
#include "services/read_property.hpp"
#include "services/write_property.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;
using services::ReadPropertyResult;

namespace {

bool same_result(const ReadPropertyResult& a, const ReadPropertyResult& b) {
  return a.object_id == b.object_id && a.property_id == b.property_id && a.array_index == b.array_index &&
         same_value(a.value, b.value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto result = services::read_property::decode_response(as_span(data, size));
  if (!result) return 0;
  FUZZ_CHECK(!std::holds_alternative<PropertyValue::Any>(result->value.variant));

  // A WriteProperty request without priority has the acknowledgement's layout:
  // object, property, optional index, then the value between opening and
  // closing tag 3. What was decoded, written back that way, decodes the same.
  const Bytes encoded = services::write_property::encode_request(result->object_id, result->property_id,
                                                                 result->value, result->array_index, std::nullopt);
  auto again = services::read_property::decode_response(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(same_result(again.value(), result.value()));
  return 0;
}
