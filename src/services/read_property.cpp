#include "services/read_property.hpp"

#include "codec/span_reader.hpp"
#include "services/ack_fields.hpp"
#include "services/context_tags.hpp"

namespace ferromesh::services::read_property {

namespace {
constexpr std::uint8_t kTagObjectId = 0;
constexpr std::uint8_t kTagPropertyId = 1;
constexpr std::uint8_t kTagArrayIndex = 2;
constexpr std::uint8_t kTagValue = 3;
// Object identifier (5), property identifier and array index (5 each at most):
// reserving it spares the vector growing octet by octet.
constexpr std::size_t kLargestRequest = 15;
}  // namespace

Bytes encode_request(const ObjectIdentifier& object_id, PropertyIdentifier property_id,
                     std::optional<std::uint32_t> array_index) {
  Bytes out;
  out.reserve(kLargestRequest);
  encode_context_object_id(kTagObjectId, object_id.to_word(), out);
  encode_context_unsigned(kTagPropertyId, property_id.to_u32(), out);
  if (array_index) encode_context_unsigned(kTagArrayIndex, *array_index, out);
  return out;
}

Result<ReadPropertyResult> decode_response(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  auto object_id = ack::read_object_id(in);
  if (!object_id) return object_id.error();

  auto property_header = in.read_u8();
  if (!property_header) return DecodeError::IncompleteData;
  if (!ack::is_context_number(*property_header, kTagPropertyId)) return DecodeError::InvalidContextTag;
  auto property = ack::read_number(in, *property_header);
  if (!property) return property.error();

  auto array_index = ack::read_array_index(in, kTagArrayIndex);
  if (!array_index) return array_index.error();

  if (!ack::consume_tag(in, ack::opening_tag(kTagValue))) return DecodeError::InvalidContextTag;
  auto value = ack::read_values(in, ack::closing_tag(kTagValue));
  if (!value) return value.error();

  return ReadPropertyResult{object_id.value(), PropertyIdentifier::from_u32(property.value()), array_index.value(),
                            std::move(value).value()};
}

}  // namespace ferromesh::services::read_property
