#pragma once

#include <cstdint>

#include "codec/byte_writer.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

struct EncodedService {
  std::uint8_t service_choice = 0;
  Bytes parameters;  // everything after the service choice
};

EncodedService encode_service(const BacnetService& service);

}  // namespace ferromesh::stack
