#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "codec/byte_writer.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

struct EncodedService {
  std::uint8_t service_choice = 0;
  Bytes parameters;  // everything after the service choice
};

EncodedService encode_service(const BacnetService& service);

// Appends the APDU of `service`, or returns why it cannot be sent and
// appends nothing.
std::optional<std::string_view> append_unconfirmed(const UnconfirmedService& service, Bytes& out);

}  // namespace ferromesh::stack
