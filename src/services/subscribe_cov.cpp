#include "services/subscribe_cov.hpp"

#include "services/context_tags.hpp"

namespace ferromesh::services::subscribe_cov {

namespace {
constexpr std::uint8_t kTagProcessId = 0;
constexpr std::uint8_t kTagObjectId = 1;
constexpr std::uint8_t kTagConfirmed = 2;
constexpr std::uint8_t kTagLifetime = 3;
// Process identifier (5), object identifier (5), confirmed (2), lifetime (5).
constexpr std::size_t kLargestRequest = 17;
}  // namespace

void append_fields(const SubscribeCovRequest& request, Bytes& out) {
  encode_context_unsigned(kTagProcessId, request.process_id, out);
  encode_context_object_id(kTagObjectId, request.object_id.to_word(), out);
  if (request.confirmed) encode_context_boolean(kTagConfirmed, *request.confirmed, out);
  if (request.lifetime) encode_context_unsigned(kTagLifetime, *request.lifetime, out);
}

Bytes encode_request(const SubscribeCovRequest& request) {
  Bytes out;
  out.reserve(kLargestRequest);
  append_fields(request, out);
  return out;
}

}  // namespace ferromesh::services::subscribe_cov
