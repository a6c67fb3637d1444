// network_message::decode on arbitrary octets (a network-layer message, type
// octet first), and Who-Is-Router-To-Network built from the input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "check.hpp"
#include "codec/network_message.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;
namespace nm = ferromesh::network_message;

namespace {

void append_networks(Bytes& out, const std::vector<std::uint16_t>& networks) {
  for (const std::uint16_t network : networks) append_u16_be(out, network);
}

// The message's octets as a router writes them.
Bytes encode(const nm::Message& message) {
  Bytes out;
  if (const auto* i_am = std::get_if<nm::IAmRouterToNetwork>(&message)) {
    out.push_back(nm::kIAmRouterToNetwork);
    append_networks(out, i_am->networks);
  } else if (const auto* busy = std::get_if<nm::RouterBusyToNetwork>(&message)) {
    out.push_back(nm::kRouterBusyToNetwork);
    append_networks(out, busy->networks);
  } else if (const auto* available = std::get_if<nm::RouterAvailableToNetwork>(&message)) {
    out.push_back(nm::kRouterAvailableToNetwork);
    append_networks(out, available->networks);
  } else {
    const auto& reject = std::get<nm::RejectMessageToNetwork>(message);
    out.push_back(nm::kRejectMessageToNetwork);
    out.push_back(reject.reason);
    append_u16_be(out, reject.network);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input = as_span(data, size);
  if (auto message = nm::decode(input)) {
    // Every octet belongs to the message: encoding it again gives the input.
    FUZZ_CHECK(same_bytes(encode(message.value()), input));
  } else {
    FUZZ_CHECK(size == 0 ? message.error() == DecodeError::IncompleteData : true);
  }

  // Who-Is-Router-To-Network: the type, then the network when one is asked about.
  std::optional<std::uint16_t> network;
  if (size >= 2) network = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
  Bytes who_is{0xEE};
  nm::append_who_is_router_to_network(who_is, network);
  FUZZ_CHECK(who_is.size() == (network ? 4u : 2u) && who_is[0] == 0xEE && who_is[1] == nm::kWhoIsRouterToNetwork);
  FUZZ_CHECK(!network || (who_is[2] == data[0] && who_is[3] == data[1]));
  // Nobody answers a Who-Is-Router with one: it is not a message the client reads.
  FUZZ_CHECK(!nm::decode(ByteSpan(who_is).subspan(1)));
  return 0;
}
