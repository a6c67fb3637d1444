#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// Appends the APDU of `service` (the network-layer message of a
// Who-Is-Router-To-Network), or returns why it cannot be sent and appends
// nothing.
std::optional<std::string_view> append_unconfirmed(const UnconfirmedService& service, Bytes& out);

}  // namespace ferromesh::stack
