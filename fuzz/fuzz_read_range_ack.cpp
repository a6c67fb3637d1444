// read_range::decode_response on arbitrary octets (a ComplexACK payload).
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "services/context_tags.hpp"
#include "services/read_range.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;
using services::ReadRangeResult;

namespace {

// The acknowledgement as a device would write it; the client has no encoder.
Bytes encode_ack(const ReadRangeResult& r) {
  Bytes out;
  services::encode_context_object_id(0, r.object_id.to_word(), out);
  services::encode_context_unsigned(1, r.property_id.to_u32(), out);
  if (r.array_index) services::encode_context_unsigned(2, *r.array_index, out);
  const int flags = (r.first_item ? 0x80 : 0) | (r.last_item ? 0x40 : 0) | (r.more_items ? 0x20 : 0);
  out.insert(out.end(), {0x3A, 0x05, static_cast<std::uint8_t>(flags)});
  services::encode_context_unsigned(4, r.item_count, out);
  services::encode_opening_tag(5, out);
  for (const PropertyValue& item : r.items) item.encode_tag_and_value(out);
  services::encode_closing_tag(5, out);
  if (r.first_sequence_number) services::encode_context_unsigned(6, *r.first_sequence_number, out);
  return out;
}

bool same_result(const ReadRangeResult& a, const ReadRangeResult& b) {
  if (a.items.size() != b.items.size()) return false;
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    if (!same_value(a.items[i], b.items[i])) return false;
  }
  return a.object_id == b.object_id && a.property_id == b.property_id && a.array_index == b.array_index &&
         a.first_item == b.first_item && a.last_item == b.last_item && a.more_items == b.more_items &&
         a.item_count == b.item_count && a.first_sequence_number == b.first_sequence_number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto result = services::read_range::decode_response(as_span(data, size));
  if (!result) return 0;
  const Bytes encoded = encode_ack(result.value());
  auto again = services::read_range::decode_response(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(same_result(again.value(), result.value()));
  return 0;
}
