#pragma once

#include "codec/byte_writer.hpp"
#include "services/records.hpp"

namespace ferromesh::services::subscribe_cov {

// SubscribeCOV-Request parameters; without `confirmed` and `lifetime` a
// cancellation.
Bytes encode_request(const SubscribeCovRequest& request);

// The same four fields open a SubscribeCOVProperty request.
void append_fields(const SubscribeCovRequest& request, Bytes& out);

}  // namespace ferromesh::services::subscribe_cov
