#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "codec/byte_writer.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

struct EncodedService {
  std::uint8_t service_choice = 0;
  Bytes parameters;  // everything after the service choice
};

// The encoded request, or why it cannot go on the wire as given (see
// encode_refusal): nothing is ever sent narrowed.
using ServiceEncoding = std::variant<EncodedService, std::string>;

ServiceEncoding encode_service(const BacnetService& service);

}  // namespace ferromesh::stack
