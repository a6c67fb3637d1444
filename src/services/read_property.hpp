#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::read_property {

// ReadProperty-Request parameters (the octets after the service choice).
Bytes encode_request(const ObjectIdentifier& object_id, PropertyIdentifier property_id,
                     std::optional<std::uint32_t> array_index);

// ReadProperty-ACK parameters (the payload of a ComplexACK).
Result<ReadPropertyResult> decode_response(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::read_property
