// write_property_multiple::decode_error on arbitrary octets (the parameters
// of an Error PDU after the service choice).
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "services/context_tags.hpp"
#include "services/write_property_multiple.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto error = services::write_property_multiple::decode_error(as_span(data, size));
  if (!error) return 0;

  // Written the way a device writes it, it decodes the same.
  Bytes out;
  services::encode_opening_tag(0, out);
  PropertyValue{PropertyValue::Enumerated{error->error_class}}.encode_tag_and_value(out);
  PropertyValue{PropertyValue::Enumerated{error->error_code}}.encode_tag_and_value(out);
  services::encode_closing_tag(0, out);
  services::encode_opening_tag(1, out);
  services::encode_context_object_id(0, error->object_id.to_word(), out);
  services::encode_context_unsigned(1, error->property_id.to_u32(), out);
  if (error->array_index) services::encode_context_unsigned(2, *error->array_index, out);
  services::encode_closing_tag(1, out);
  auto again = services::write_property_multiple::decode_error(out);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again.value() == error.value());
  return 0;
}
