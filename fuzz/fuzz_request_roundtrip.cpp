// Encoder side: ReadProperty and WriteProperty requests built from the fuzz
// input. Their parameters share the layout of a ReadProperty acknowledgement
// (a ReadProperty request once the value brackets are added), so the
// acknowledgement decoder must read back what the request encoders wrote.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.hpp"
#include "services/context_tags.hpp"
#include "services/read_property.hpp"
#include "services/write_property.hpp"
#include "value_builder.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const ObjectIdentifier object_id{ObjectType::from_u16(in.ConsumeIntegral<std::uint16_t>()),
                                   in.ConsumeIntegral<std::uint32_t>()};
  const auto property_id = PropertyIdentifier::from_u32(in.ConsumeIntegral<std::uint32_t>());
  std::optional<std::uint32_t> array_index;
  if (in.ConsumeBool()) array_index = in.ConsumeIntegral<std::uint32_t>();
  const bool write = in.ConsumeBool();
  std::optional<std::uint8_t> priority;
  if (in.ConsumeBool()) priority = in.ConsumeIntegral<std::uint8_t>();
  const BuiltValue built = make_value(in);

  Bytes encoded;
  if (write) {
    // A trailing priority lies after the closing tag, where the decoder stops.
    encoded = services::write_property::encode_request(object_id, property_id, built.value, array_index, priority);
  } else {
    encoded = services::read_property::encode_request(object_id, property_id, array_index);
    services::encode_opening_tag(3, encoded);
    built.value.encode_tag_and_value(encoded);
    services::encode_closing_tag(3, encoded);
  }

  auto result = services::read_property::decode_response(encoded);
  if (!built.exact) return 0;
  FUZZ_CHECK(result.ok());
  FUZZ_CHECK(result->object_id == ObjectIdentifier::from_word(object_id.to_word()));
  FUZZ_CHECK(result->property_id == property_id);
  FUZZ_CHECK(result->array_index == array_index);
  // One value stands for itself; none or several come back as an array.
  std::vector<PropertyValue> values;
  flatten(built.value, values);
  const PropertyValue expected =
      values.size() == 1 ? values.front() : PropertyValue{PropertyValue::Array{std::move(values)}};
  FUZZ_CHECK(same_value(result->value, expected));
  return 0;
}
