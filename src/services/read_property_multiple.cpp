#include "services/read_property_multiple.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "codec/span_reader.hpp"
#include "services/ack_fields.hpp"
#include "services/context_tags.hpp"

namespace ferromesh::services::read_property_multiple {

namespace {

// Request: object identifier, then the property references inside tag 1.
constexpr std::uint8_t kTagObjectId = 0;
constexpr std::uint8_t kTagReferences = 1;
constexpr std::uint8_t kTagReferencePropertyId = 0;
constexpr std::uint8_t kTagReferenceArrayIndex = 1;

// Acknowledgement: each object's results inside tag 1; each result a property
// identifier, an optional array index, then a value (tag 4) or an error (tag 5).
constexpr std::uint8_t kTagResults = 1;
constexpr std::uint8_t kTagValue = 4;
constexpr std::uint8_t kTagError = 5;
// Standard layout: property identifier under tag 2, array index under tag 3.
constexpr std::uint8_t kTagPropertyId = 2;
constexpr std::uint8_t kTagArrayIndex = 3;
// Wrapped layout: the whole result inside tag 2, numbered from tag 0 within.
constexpr std::uint8_t kTagWrappedResult = 2;
constexpr std::uint8_t kTagWrappedPropertyId = 0;
constexpr std::uint8_t kTagWrappedArrayIndex = 1;

constexpr std::uint8_t kEnumeratedTagNumber = 9;

// An error class or error code: application tag 9; the class bit is ignored.
Result<std::uint32_t> read_error_number(SpanReader& in) {
  const auto header = in.read_u8();
  if (!header) return DecodeError::IncompleteData;
  if ((*header >> 4) != kEnumeratedTagNumber) return DecodeError::InvalidData;
  return ack::read_number(in, *header);
}

// Error class and code after the opening tag 5, and the closing tag 5.
Result<BacnetPropertyError> read_property_error(SpanReader& in) {
  const auto error_class = read_error_number(in);
  if (!error_class) return error_class.error();
  const auto error_code = read_error_number(in);
  if (!error_code) return error_code.error();
  if (!ack::consume_tag(in, ack::closing_tag(kTagError))) return DecodeError::InvalidContextTag;
  return BacnetPropertyError{error_class.value(), error_code.value()};
}

// One property result, decoded straight into `result` (default-constructed):
// nothing on success, else why it failed.
std::optional<DecodeError> read_property_result(SpanReader& in, PropertyResult& result) {
  const bool wrapped = ack::consume_tag(in, ack::opening_tag(kTagWrappedResult));
  const auto property_header = in.read_u8();
  if (!property_header) return DecodeError::IncompleteData;
  if (!ack::is_context_number(*property_header, wrapped ? kTagWrappedPropertyId : kTagPropertyId)) {
    return DecodeError::InvalidContextTag;
  }
  const auto property = ack::read_number(in, *property_header);
  if (!property) return property.error();
  result.property_id = PropertyIdentifier::from_u32(property.value());

  const auto array_index = ack::read_array_index(in, wrapped ? kTagWrappedArrayIndex : kTagArrayIndex);
  if (!array_index) return array_index.error();
  result.array_index = array_index.value();

  if (ack::consume_tag(in, ack::opening_tag(kTagValue))) {
    auto value = ack::read_values(in, ack::closing_tag(kTagValue));
    if (!value) return value.error();
    std::get<PropertyValue>(result.value) = std::move(value).value();
  } else if (ack::consume_tag(in, ack::opening_tag(kTagError))) {
    const auto error = read_property_error(in);
    if (!error) return error.error();
    result.value = error.value();
  } else {
    return DecodeError::InvalidContextTag;
  }

  if (wrapped && !ack::consume_tag(in, ack::closing_tag(kTagWrappedResult))) return DecodeError::InvalidContextTag;
  return std::nullopt;
}

// `expected_properties` is how many results the previous object had: the
// objects of one answer usually ask for the same list, and reserving that
// many saves moving the results while the list grows.
Result<ObjectResult> read_object_result(SpanReader& in, std::size_t expected_properties) {
  const auto object_id = ack::read_object_id(in);
  if (!object_id) return object_id.error();
  if (!ack::consume_tag(in, ack::opening_tag(kTagResults))) return DecodeError::InvalidContextTag;

  ObjectResult object{object_id.value(), {}};
  object.properties.reserve(expected_properties);
  while (!ack::consume_tag(in, ack::closing_tag(kTagResults))) {
    if (in.empty()) return DecodeError::IncompleteData;
    if (const auto error = read_property_result(in, object.properties.emplace_back())) return *error;
  }
  return object;
}

}  // namespace

Bytes encode_request(std::span<const ReadAccessSpec> specs) {
  // Object identifier and brackets (7), then at most 5 + 5 per reference.
  std::size_t largest = 0;
  for (const ReadAccessSpec& spec : specs) largest += 7 + 10 * spec.properties.size();
  Bytes out;
  out.reserve(largest);
  for (const ReadAccessSpec& spec : specs) {
    encode_context_object_id(kTagObjectId, spec.object_id.to_word(), out);
    encode_opening_tag(kTagReferences, out);
    for (const PropertyReference& reference : spec.properties) {
      encode_context_unsigned(kTagReferencePropertyId, reference.property_id.to_u32(), out);
      if (reference.array_index) encode_context_unsigned(kTagReferenceArrayIndex, *reference.array_index, out);
    }
    encode_closing_tag(kTagReferences, out);
  }
  return out;
}

Result<std::vector<ObjectResult>> decode_response(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  std::vector<ObjectResult> objects;
  std::size_t expected_properties = 0;
  while (!in.empty()) {
    auto object = read_object_result(in, expected_properties);
    if (!object) return object.error();
    expected_properties = object.value().properties.size();
    objects.push_back(std::move(object).value());
  }
  return objects;
}

}  // namespace ferromesh::services::read_property_multiple

