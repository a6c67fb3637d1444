#pragma once

#include <cstdint>
#include <span>

#include "codec/result.hpp"
#include "services/records.hpp"

namespace ferromesh::services::i_am {

// I-Am service parameters: the APDU after the PDU type and service choice octets.
Result<IAm> decode_i_am(std::span<const std::uint8_t> data);

}  // namespace ferromesh::services::i_am
