#include "services/read_range.hpp"

#include <utility>
#include <variant>

#include "codec/elements.hpp"
#include "codec/span_reader.hpp"
#include "services/ack_fields.hpp"
#include "services/context_tags.hpp"

namespace ferromesh::services::read_range {

namespace {

constexpr std::uint8_t kTagObjectId = 0;
constexpr std::uint8_t kTagPropertyId = 1;
constexpr std::uint8_t kTagArrayIndex = 2;
// Request: the range, one of three constructed choices (4 and 5 are retired).
constexpr std::uint8_t kTagByPosition = 3;
constexpr std::uint8_t kTagBySequenceNumber = 6;
constexpr std::uint8_t kTagByTime = 7;
// Acknowledgement: result flags, item count, item data, first sequence number.
constexpr std::uint8_t kTagResultFlags = 3;
constexpr std::uint8_t kTagItemCount = 4;
constexpr std::uint8_t kTagItemData = 5;
constexpr std::uint8_t kTagFirstSequenceNumber = 6;

// Result flags: first-item, last-item, more-items, from the most significant bit.
constexpr std::uint8_t kFirstItem = 0x80;
constexpr std::uint8_t kLastItem = 0x40;
constexpr std::uint8_t kMoreItems = 0x20;

struct RangeEncoder {
  Bytes& out;
  void operator()(const RangeByPosition& r) const {
    encode_opening_tag(kTagByPosition, out);
    PropertyValue{PropertyValue::Unsigned{r.reference_index}}.encode_tag_and_value(out);
    PropertyValue{PropertyValue::Signed{r.count}}.encode_tag_and_value(out);
    encode_closing_tag(kTagByPosition, out);
  }
  void operator()(const RangeBySequenceNumber& r) const {
    encode_opening_tag(kTagBySequenceNumber, out);
    PropertyValue{PropertyValue::Unsigned{r.reference_sequence_number}}.encode_tag_and_value(out);
    PropertyValue{PropertyValue::Signed{r.count}}.encode_tag_and_value(out);
    encode_closing_tag(kTagBySequenceNumber, out);
  }
  void operator()(const RangeByTime& r) const {
    encode_opening_tag(kTagByTime, out);
    PropertyValue{r.date}.encode_tag_and_value(out);
    PropertyValue{r.time}.encode_tag_and_value(out);
    PropertyValue{PropertyValue::Signed{r.count}}.encode_tag_and_value(out);
    encode_closing_tag(kTagByTime, out);
  }
};

// The result flags: a context-tagged bit string whose first octet counts
// the unused bits of the last.
std::optional<DecodeError> read_result_flags(SpanReader& in, ReadRangeResult& result) {
  const auto header = in.read_u8();
  if (!header) return DecodeError::IncompleteData;
  if (!ack::is_context_number(*header, kTagResultFlags)) return DecodeError::InvalidContextTag;
  const std::size_t length = *header & ack::kLengthMask;
  if (length == 0 || length > 4) return DecodeError::InvalidData;
  const auto content = in.read_bytes(length);
  if (!content) return DecodeError::IncompleteData;
  const std::uint8_t flags = length > 1 ? (*content)[1] : 0;
  result.first_item = (flags & kFirstItem) != 0;
  result.last_item = (flags & kLastItem) != 0;
  result.more_items = (flags & kMoreItems) != 0;
  return std::nullopt;
}

}  // namespace

Bytes encode_request(const ReadRangeRequest& request) {
  Bytes out;
  encode_context_object_id(kTagObjectId, request.object_id.to_word(), out);
  encode_context_unsigned(kTagPropertyId, request.property_id.to_u32(), out);
  if (request.array_index) encode_context_unsigned(kTagArrayIndex, *request.array_index, out);
  if (request.range) std::visit(RangeEncoder{out}, *request.range);
  return out;
}

Result<ReadRangeResult> decode_response(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  ReadRangeResult result;
  const auto object_id = ack::read_object_id(in);
  if (!object_id) return object_id.error();
  result.object_id = object_id.value();
  const auto property = ack::read_context_number(in, kTagPropertyId);
  if (!property) return property.error();
  result.property_id = PropertyIdentifier::from_u32(property.value());
  const auto array_index = ack::read_array_index(in, kTagArrayIndex);
  if (!array_index) return array_index.error();
  result.array_index = array_index.value();

  if (const auto error = read_result_flags(in, result)) return *error;
  const auto item_count = ack::read_context_number(in, kTagItemCount);
  if (!item_count) return item_count.error();
  result.item_count = item_count.value();

  if (const auto missing = ack::expect_tag(in, ack::opening_tag(kTagItemData))) return *missing;
  auto items = read_elements(in, kTagItemData);
  if (!items) return items.error();
  result.items = std::move(items).value();

  if (!in.empty()) {
    const auto first = ack::read_context_number(in, kTagFirstSequenceNumber);
    if (!first) return first.error();
    result.first_sequence_number = first.value();
  }
  return result;
}

}  // namespace ferromesh::services::read_range
