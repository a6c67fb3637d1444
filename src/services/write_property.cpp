#include "services/write_property.hpp"

#include "services/context_tags.hpp"

namespace ferromesh::services::write_property {

namespace {
constexpr std::uint8_t kTagObjectId = 0;
constexpr std::uint8_t kTagPropertyId = 1;
constexpr std::uint8_t kTagArrayIndex = 2;
constexpr std::uint8_t kTagValue = 3;
constexpr std::uint8_t kTagPriority = 4;
// Everything but the value: object identifier (5), property identifier and
// array index (5 each at most), opening and closing tag, priority (2).
// Reserving it and room for a small value spares the vector growing.
constexpr std::size_t kLargestFixedPart = 19;
constexpr std::size_t kTypicalValue = 16;
}  // namespace

Bytes encode_request(const ObjectIdentifier& object_id, PropertyIdentifier property_id, const PropertyValue& value,
                     std::optional<std::uint32_t> array_index, std::optional<std::uint8_t> priority) {
  Bytes out;
  out.reserve(kLargestFixedPart + kTypicalValue);
  encode_context_object_id(kTagObjectId, object_id.to_word(), out);
  encode_context_unsigned(kTagPropertyId, property_id.to_u32(), out);
  if (array_index) encode_context_unsigned(kTagArrayIndex, *array_index, out);
  encode_opening_tag(kTagValue, out);
  value.encode_tag_and_value(out);
  encode_closing_tag(kTagValue, out);
  // Any octet fits the one-octet form, so the priority goes out exactly as given.
  if (priority) encode_context_unsigned(kTagPriority, *priority, out);
  return out;
}

}  // namespace ferromesh::services::write_property
