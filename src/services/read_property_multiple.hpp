#pragma once

#include <span>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::read_property_multiple {

// ReadPropertyMultiple-Request parameters; empty for no specs.
Bytes encode_request(std::span<const ReadAccessSpec> specs);

// ReadPropertyMultiple-ACK parameters; an empty input is an empty list.
Result<std::vector<ObjectResult>> decode_response(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::read_property_multiple
