#include "services/write_property_multiple.hpp"

#include "codec/span_reader.hpp"
#include "codec/tag_length.hpp"
#include "services/ack_fields.hpp"
#include "services/context_tags.hpp"

namespace ferromesh::services::write_property_multiple {

namespace {

// Request: object identifier, then the writes inside tag 1; each write a
// property identifier, an optional array index, the value inside tag 2 and
// an optional priority.
constexpr std::uint8_t kTagObjectId = 0;
constexpr std::uint8_t kTagWrites = 1;
constexpr std::uint8_t kTagPropertyId = 0;
constexpr std::uint8_t kTagArrayIndex = 1;
constexpr std::uint8_t kTagValue = 2;
constexpr std::uint8_t kTagPriority = 3;

// Error: class and code inside tag 0, the failed write's reference inside
// tag 1 (object identifier 0, property identifier 1, array index 2).
constexpr std::uint8_t kTagErrorType = 0;
constexpr std::uint8_t kTagFirstFailed = 1;
constexpr std::uint8_t kTagFailedPropertyId = 1;
constexpr std::uint8_t kTagFailedArrayIndex = 2;
constexpr std::uint8_t kEnumeratedTagNumber = 9;

Result<std::uint32_t> read_enumerated(SpanReader& in) {
  const auto header = in.read_u8();
  if (!header) return DecodeError::IncompleteData;
  // The class bit is not examined, as in every other error.
  if ((*header >> 4) != kEnumeratedTagNumber) return DecodeError::InvalidData;
  const auto length = read_content_length(*header, in);
  if (!length) return length.error();
  return read_unsigned_content(length.value(), in);
}

}  // namespace

Bytes encode_request(std::span<const WriteAccessSpec> specs) {
  Bytes out;
  for (const WriteAccessSpec& spec : specs) {
    encode_context_object_id(kTagObjectId, spec.object_id.to_word(), out);
    encode_opening_tag(kTagWrites, out);
    for (const PropertyWrite& write : spec.properties) {
      encode_context_unsigned(kTagPropertyId, write.property_id.to_u32(), out);
      if (write.array_index) encode_context_unsigned(kTagArrayIndex, *write.array_index, out);
      encode_opening_tag(kTagValue, out);
      write.value.encode_tag_and_value(out);
      encode_closing_tag(kTagValue, out);
      if (write.priority) encode_context_unsigned(kTagPriority, *write.priority, out);
    }
    encode_closing_tag(kTagWrites, out);
  }
  return out;
}

Result<WritePropertyMultipleError> decode_error(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  WritePropertyMultipleError error;
  if (const auto missing = ack::expect_tag(in, ack::opening_tag(kTagErrorType))) return *missing;
  const auto error_class = read_enumerated(in);
  if (!error_class) return error_class.error();
  const auto error_code = read_enumerated(in);
  if (!error_code) return error_code.error();
  error.error_class = error_class.value();
  error.error_code = error_code.value();
  if (const auto missing = ack::expect_tag(in, ack::closing_tag(kTagErrorType))) return *missing;

  if (const auto missing = ack::expect_tag(in, ack::opening_tag(kTagFirstFailed))) return *missing;
  const auto object_id = ack::read_object_id(in);
  if (!object_id) return object_id.error();
  error.object_id = object_id.value();
  const auto property = ack::read_context_number(in, kTagFailedPropertyId);
  if (!property) return property.error();
  error.property_id = PropertyIdentifier::from_u32(property.value());
  const auto array_index = ack::read_array_index(in, kTagFailedArrayIndex);
  if (!array_index) return array_index.error();
  error.array_index = array_index.value();
  if (const auto missing = ack::expect_tag(in, ack::closing_tag(kTagFirstFailed))) return *missing;
  return error;
}

}  // namespace ferromesh::services::write_property_multiple
