#include "codec/bvlc.hpp"

#include "codec/span_reader.hpp"

namespace ferromesh::bvlc {

Bytes wrap_unicast(std::span<const std::uint8_t> npdu) {
  Bytes out;
  out.reserve(kHeaderLength + npdu.size());
  append_u8(out, kTypeBacnetIp);
  append_u8(out, kOriginalUnicastNpdu);
  append_u16_be(out, static_cast<std::uint16_t>(kHeaderLength + npdu.size()));
  append_bytes(out, npdu);
  return out;
}

std::optional<std::span<const std::uint8_t>> unwrap(std::span<const std::uint8_t> datagram) noexcept {
  SpanReader reader(datagram);
  const auto type = reader.read_u8();
  const auto function = reader.read_u8();
  const auto length = reader.read_u16_be();
  if (!type || !function || !length) return std::nullopt;
  if (*type != kTypeBacnetIp) return std::nullopt;
  if (*function != kOriginalUnicastNpdu && *function != kOriginalBroadcastNpdu) return std::nullopt;
  if (*length < kHeaderLength || *length > datagram.size()) return std::nullopt;
  return datagram.subspan(kHeaderLength, *length - kHeaderLength);
}

}  // namespace ferromesh::bvlc
