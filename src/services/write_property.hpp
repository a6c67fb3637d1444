#pragma once

#include <cstdint>
#include <optional>

#include "codec/byte_writer.hpp"
#include "services/records.hpp"

namespace ferromesh::services::write_property {

// WriteProperty-Request parameters. The priority is written as given, unchecked.
Bytes encode_request(const ObjectIdentifier& object_id, PropertyIdentifier property_id, const PropertyValue& value,
                     std::optional<std::uint32_t> array_index, std::optional<std::uint8_t> priority);

}  // namespace ferromesh::services::write_property
