#pragma once

#include <span>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::read_range {

// ReadRange-Request parameters.
Bytes encode_request(const ReadRangeRequest& request);

// ReadRange-ACK parameters (the payload of a ComplexACK). The item data
// comes back as its elements (codec/elements.hpp): the items of a list of
// constructed records lie back to back, so a record may span several.
Result<ReadRangeResult> decode_response(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::read_range
