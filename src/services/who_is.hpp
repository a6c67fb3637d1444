#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "codec/byte_writer.hpp"

namespace ferromesh::services::who_is {

// Device instances are 22 bits wide.
inline constexpr std::uint32_t kLargestInstance = 4194303;

// Why a Who-Is cannot be limited to devices low..high, or nothing when it
// can: both limits are given or neither, and low <= high <= 4194303.
std::optional<std::string_view> refusal(std::optional<std::uint32_t> low, std::optional<std::uint32_t> high) noexcept;

// Appends the Who-Is parameters: nothing without limits, else the two
// limits as context tags 0 and 1. Requires refusal(low, high) to be nothing.
void append_request(std::optional<std::uint32_t> low, std::optional<std::uint32_t> high, Bytes& out);

}  // namespace ferromesh::services::who_is
