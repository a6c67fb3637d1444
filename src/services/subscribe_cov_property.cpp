#include "services/subscribe_cov_property.hpp"

#include "services/context_tags.hpp"

namespace ferromesh::services::subscribe_cov_property {

namespace {
constexpr std::uint8_t kTagProcessId = 0;
constexpr std::uint8_t kTagObjectId = 1;
constexpr std::uint8_t kTagConfirmed = 2;
constexpr std::uint8_t kTagLifetime = 3;
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
  encode_context_unsigned(kTagProcessId, request.process_id, out);
  encode_context_object_id(kTagObjectId, request.object_id.to_word(), out);
  if (request.confirmed) encode_context_boolean(kTagConfirmed, *request.confirmed, out);
  if (request.lifetime) encode_context_unsigned(kTagLifetime, *request.lifetime, out);
  encode_opening_tag(kTagProperty, out);
  encode_context_unsigned(kTagPropertyId, request.property.property_id.to_u32(), out);
  if (request.property.array_index) encode_context_unsigned(kTagArrayIndex, *request.property.array_index, out);
  encode_closing_tag(kTagProperty, out);
  if (request.cov_increment) encode_context_real(kTagCovIncrement, *request.cov_increment, out);
  return out;
}

}  // namespace ferromesh::services::subscribe_cov_property
