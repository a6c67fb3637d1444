#pragma once

#include <span>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::write_property_multiple {

// WritePropertyMultiple-Request parameters. Priorities go out as given, unchecked.
Bytes encode_request(std::span<const WriteAccessSpec> specs);

// The parameters of its Error PDU (after the service choice): the error
// class and code inside tag 0, then the first failed write inside tag 1.
Result<WritePropertyMultipleError> decode_error(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::write_property_multiple
