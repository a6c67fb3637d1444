// read_property_multiple::decode_response on arbitrary octets (a ComplexACK
// payload).
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "check.hpp"
#include "services/context_tags.hpp"
#include "services/read_property_multiple.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;
using services::ObjectResult;
using services::PropertyResult;

namespace {

bool same_property(const PropertyResult& a, const PropertyResult& b) {
  if (a.property_id != b.property_id || a.array_index != b.array_index) return false;
  if (a.value.index() != b.value.index()) return false;
  if (const auto* value = std::get_if<PropertyValue>(&a.value)) {
    return same_value(*value, std::get<PropertyValue>(b.value));
  }
  return a.value == b.value;
}

bool same_objects(const std::vector<ObjectResult>& a, const std::vector<ObjectResult>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].object_id != b[i].object_id || a[i].properties.size() != b[i].properties.size()) return false;
    for (std::size_t j = 0; j < a[i].properties.size(); ++j) {
      if (!same_property(a[i].properties[j], b[i].properties[j])) return false;
    }
  }
  return true;
}

enum class Layout { Standard, Wrapped };

// The acknowledgement as a device would write it: in the standard layout the
// property identifier and array index are context tags 2 and 3; in the
// wrapped one they are tags 0 and 1 inside opening and closing tag 2.
Bytes encode_ack(const std::vector<ObjectResult>& objects, Layout layout) {
  const bool wrapped = layout == Layout::Wrapped;
  Bytes out;
  for (const auto& object : objects) {
    services::encode_context_object_id(0, object.object_id.to_word(), out);
    services::encode_opening_tag(1, out);
    for (const auto& property : object.properties) {
      if (wrapped) services::encode_opening_tag(2, out);
      services::encode_context_unsigned(wrapped ? 0 : 2, property.property_id.to_u32(), out);
      if (property.array_index) services::encode_context_unsigned(wrapped ? 1 : 3, *property.array_index, out);
      if (const auto* value = std::get_if<PropertyValue>(&property.value)) {
        services::encode_opening_tag(4, out);
        value->encode_tag_and_value(out);
        services::encode_closing_tag(4, out);
      } else {
        const auto& error = std::get<services::BacnetPropertyError>(property.value);
        services::encode_opening_tag(5, out);
        PropertyValue{PropertyValue::Enumerated{error.error_class}}.encode_tag_and_value(out);
        PropertyValue{PropertyValue::Enumerated{error.error_code}}.encode_tag_and_value(out);
        services::encode_closing_tag(5, out);
      }
      if (wrapped) services::encode_closing_tag(2, out);
    }
    services::encode_closing_tag(1, out);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto objects = services::read_property_multiple::decode_response(as_span(data, size));
  if (!objects) return 0;
  if (size == 0) FUZZ_CHECK(objects->empty());

  for (const Layout layout : {Layout::Standard, Layout::Wrapped}) {
    const Bytes encoded = encode_ack(objects.value(), layout);
    auto again = services::read_property_multiple::decode_response(encoded);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(same_objects(again.value(), objects.value()));
  }
  return 0;
}
