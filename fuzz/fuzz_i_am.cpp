// i_am::decode_i_am on arbitrary octets (the service data after the PDU type
// and service choice).
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "services/i_am.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto i_am = services::i_am::decode_i_am(as_span(data, size));
  if (!i_am) return 0;
  FUZZ_CHECK(i_am->segmentation <= services::kNoSegmentation);

  // Written back as the four application-tagged values, it reads the same.
  Bytes encoded;
  PropertyValue{i_am->device_id}.encode_tag_and_value(encoded);
  PropertyValue{PropertyValue::Unsigned{i_am->max_apdu}}.encode_tag_and_value(encoded);
  PropertyValue{PropertyValue::Enumerated{i_am->segmentation}}.encode_tag_and_value(encoded);
  PropertyValue{PropertyValue::Unsigned{i_am->vendor_id}}.encode_tag_and_value(encoded);
  auto again = services::i_am::decode_i_am(encoded);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again.value() == i_am.value());
  return 0;
}
