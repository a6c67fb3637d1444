#include "services/subscribe_cov_property.hpp"

#include "services/context_tags.hpp"
#include "services/subscribe_cov.hpp"

namespace ferromesh::services::subscribe_cov_property {

namespace {
constexpr std::uint8_t kTagProperty = 4;
constexpr std::uint8_t kTagCovIncrement = 5;
// Inside the property reference.
constexpr std::uint8_t kTagPropertyId = 0;
constexpr std::uint8_t kTagArrayIndex = 1;
// The fields of SubscribeCOV (17), the property reference (12), the increment (5).
constexpr std::size_t kLargestRequest = 34;
}  // namespace

Bytes encode_request(const SubscribeCovPropertyRequest& request) {
  Bytes out;
  out.reserve(kLargestRequest);
  subscribe_cov::append_fields({request.process_id, request.object_id, request.confirmed, request.lifetime}, out);
  encode_opening_tag(kTagProperty, out);
  encode_context_unsigned(kTagPropertyId, request.property.property_id.to_u32(), out);
  if (request.property.array_index) encode_context_unsigned(kTagArrayIndex, *request.property.array_index, out);
  encode_closing_tag(kTagProperty, out);
  if (request.cov_increment) encode_context_real(kTagCovIncrement, *request.cov_increment, out);
  return out;
}

}  // namespace ferromesh::services::subscribe_cov_property
