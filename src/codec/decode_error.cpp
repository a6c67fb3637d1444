#include "codec/decode_error.hpp"

namespace ferromesh {

std::string_view to_string(DecodeError error) noexcept {
  switch (error) {
    case DecodeError::IncompleteData: return "IncompleteData";
    case DecodeError::InvalidData: return "InvalidData";
    case DecodeError::InvalidTagNumber: return "InvalidTagNumber";
    case DecodeError::InvalidContextTag: return "InvalidContextTag";
    case DecodeError::UnsupportedApplicationTag: return "UnsupportedApplicationTag";
    case DecodeError::InvalidDate: return "InvalidDate";
    case DecodeError::InvalidTime: return "InvalidTime";
    case DecodeError::InvalidObjectType: return "InvalidObjectType";
    case DecodeError::UnknownPropertyType: return "UnknownPropertyType";
    case DecodeError::UnsupportedBvlcFunction: return "UnsupportedBvlcFunction";
  }
  // Only reachable for a value cast from outside the enumeration.
  return "";
}

}  // namespace ferromesh
