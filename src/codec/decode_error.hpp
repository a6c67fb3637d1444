#pragma once

#include <cstdint>
#include <string_view>

namespace ferromesh {

// Why a decoder refused its input. The order is part of the interface.
enum class DecodeError : std::uint8_t {
  IncompleteData,
  InvalidData,
  InvalidTagNumber,
  InvalidContextTag,
  UnsupportedApplicationTag,
  InvalidDate,
  InvalidTime,
  InvalidObjectType,
  UnknownPropertyType,
  UnsupportedBvlcFunction,
};

// The kind's name, e.g. "IncompleteData".
std::string_view to_string(DecodeError error) noexcept;

}  // namespace ferromesh
