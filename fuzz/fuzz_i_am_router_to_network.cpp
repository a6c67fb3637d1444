// i_am::decode_i_am_router_to_network on arbitrary octets (a network-layer
// message, type octet first).
#include <cstddef>
#include <cstdint>

#include "check.hpp"
#include "services/i_am.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  auto networks = services::i_am::decode_i_am_router_to_network(input);
  if (!networks) return 0;

  // Every octet after the type is part of a network number, in wire order.
  Bytes encoded{0x01};
  for (const std::uint16_t network : networks.value()) append_u16_be(encoded, network);
  FUZZ_CHECK(same_bytes(encoded, input));
  return 0;
}
