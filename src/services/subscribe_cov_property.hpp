#pragma once

#include "codec/byte_writer.hpp"
#include "services/records.hpp"

namespace ferromesh::services::subscribe_cov_property {

// SubscribeCOVProperty-Request parameters; without `confirmed` and
// `lifetime` a cancellation.
Bytes encode_request(const SubscribeCovPropertyRequest& request);

}  // namespace ferromesh::services::subscribe_cov_property
