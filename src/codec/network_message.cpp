#include "codec/network_message.hpp"

#include "codec/span_reader.hpp"

namespace ferromesh::network_message {

namespace {

Result<std::vector<std::uint16_t>> read_networks(SpanReader& in) {
  if (in.remaining() % 2 != 0) return DecodeError::InvalidData;
  std::vector<std::uint16_t> networks;
  networks.reserve(in.remaining() / 2);
  while (const auto network = in.read_u16_be()) networks.push_back(*network);
  return networks;
}

template <class ListMessage>
Result<Message> list_message(SpanReader& in) {
  auto networks = read_networks(in);
  if (!networks) return networks.error();
  return Message{ListMessage{std::move(networks).value()}};
}

}  // namespace

Result<Message> decode(std::span<const std::uint8_t> body) {
  SpanReader in(body);
  const auto type = in.read_u8();
  if (!type) return DecodeError::IncompleteData;
  switch (*type) {
    case kIAmRouterToNetwork:
      return list_message<IAmRouterToNetwork>(in);
    case kRouterBusyToNetwork:
      return list_message<RouterBusyToNetwork>(in);
    case kRouterAvailableToNetwork:
      return list_message<RouterAvailableToNetwork>(in);
    case kRejectMessageToNetwork: {
      const auto reason = in.read_u8();
      const auto network = in.read_u16_be();
      if (!reason || !network) return DecodeError::IncompleteData;
      if (!in.empty()) return DecodeError::InvalidData;
      return Message{RejectMessageToNetwork{*reason, *network}};
    }
    default:
      return DecodeError::InvalidData;
  }
}

}  // namespace ferromesh::network_message
