#include "codec/npdu.hpp"

#include <algorithm>

#include "codec/span_reader.hpp"

namespace ferromesh::npdu {

namespace {

constexpr std::uint8_t kHopCountUnset = 255;
constexpr std::size_t kMaxMacLength = 255;  // the length travels in one octet

void append_address(Bytes& out, const NetworkAddress& address) {
  // Clamping keeps the length octet and the octets written consistent.
  const std::size_t length = std::min(address.mac.size(), kMaxMacLength);
  append_u16_be(out, address.net);
  append_u8(out, static_cast<std::uint8_t>(length));
  out.insert(out.end(), address.mac.begin(), address.mac.begin() + static_cast<std::ptrdiff_t>(length));
}

Result<NetworkAddress> read_address(SpanReader& reader) {
  const auto net = reader.read_u16_be();
  const auto length = reader.read_u8();
  if (!net || !length) return DecodeError::IncompleteData;
  const auto mac = reader.read_bytes(*length);
  if (!mac) return DecodeError::IncompleteData;
  // Network 0 is no network; 0xFFFF is valid only as a destination.
  if (*net == 0) return DecodeError::InvalidData;
  return NetworkAddress{*net, {mac->begin(), mac->end()}};
}

// A source names one device: a network other than "all of them" and a MAC.
bool valid_source(const NetworkAddress& source) noexcept {
  return source.net != kGlobalNetwork && !source.mac.empty();
}

}  // namespace

void append_addresses(Bytes& out, const Header& header) {
  if (header.destination) append_address(out, *header.destination);
  if (header.source) append_address(out, *header.source);
  // The hop count follows the source when both addresses are present.
  if (header.destination) append_u8(out, header.hop_count.value_or(kHopCountUnset));
}

Result<NpduFrame> decode(std::span<const std::uint8_t> data) {
  SpanReader reader(data);
  const auto version = reader.read_u8();
  const auto control = reader.read_u8();
  if (!version || !control) return DecodeError::IncompleteData;
  if (*version != kProtocolVersion) return DecodeError::InvalidData;

  NpduFrame frame;
  frame.network_layer_message = (*control & kControlNetworkMessage) != 0;
  frame.expecting_reply = (*control & kControlExpectingReply) != 0;
  frame.priority = *control & kControlPriority;
  if (*control & kControlDestination) {
    auto destination = read_address(reader);
    if (!destination) return destination.error();
    frame.destination = std::move(destination).value();
  }
  if (*control & kControlSource) {
    auto source = read_address(reader);
    if (!source) return source.error();
    if (!valid_source(source.value())) return DecodeError::InvalidData;
    frame.source = std::move(source).value();
  }
  if (frame.destination) {
    const auto hop_count = reader.read_u8();
    if (!hop_count) return DecodeError::IncompleteData;
    frame.hop_count = *hop_count;
  }
  frame.apdu = reader.rest();
  return frame;
}

}  // namespace ferromesh::npdu
