#pragma once

#include "codec/byte_writer.hpp"
#include "services/records.hpp"

namespace ferromesh::services::subscribe_cov {

// SubscribeCOV-Request parameters; without `confirmed` and `lifetime` a
// cancellation.
Bytes encode_request(const SubscribeCovRequest& request);

}  // namespace ferromesh::services::subscribe_cov
