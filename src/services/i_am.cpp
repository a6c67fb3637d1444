#include "services/i_am.hpp"

#include <variant>

#include "codec/span_reader.hpp"

namespace ferromesh::services::i_am {

namespace {

// The next application value of I-Am, which must be of kind `Kind`.
template <class Kind>
Result<Kind> read_value(SpanReader& in) {
  auto decoded = PropertyValue::decode(in.rest());
  if (!decoded) return decoded.error();
  const Kind* value = std::get_if<Kind>(&decoded->value.variant);
  if (value == nullptr) return DecodeError::InvalidData;
  if (!in.skip(decoded->consumed)) return DecodeError::IncompleteData;
  return *value;
}

}  // namespace

Result<IAm> decode_i_am(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  const auto device_id = read_value<PropertyValue::ObjectIdentifier>(in);
  if (!device_id) return device_id.error();
  const auto max_apdu = read_value<PropertyValue::Unsigned>(in);
  if (!max_apdu) return max_apdu.error();
  const auto segmentation = read_value<PropertyValue::Enumerated>(in);
  if (!segmentation) return segmentation.error();
  const auto vendor_id = read_value<PropertyValue::Unsigned>(in);
  if (!vendor_id) return vendor_id.error();

  // Numbers beyond the known three all read as no segmentation.
  const std::uint32_t announced = segmentation.value().value;
  const std::uint8_t supported = announced < kNoSegmentation ? static_cast<std::uint8_t>(announced) : kNoSegmentation;
  return IAm{device_id.value(), max_apdu.value().value, supported, vendor_id.value().value};
}

}  // namespace ferromesh::services::i_am
