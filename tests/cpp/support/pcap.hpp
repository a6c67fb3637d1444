#pragma once

// Reads the UDP datagrams out of a classic pcap capture with Ethernet framing,
// so that tests can replay traffic exactly as it was on the wire.

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "codec/span_reader.hpp"

namespace ferromesh::test {

struct UdpDatagram {
  std::array<std::uint8_t, 4> source_ip{};
  std::uint16_t source_port = 0;
  std::array<std::uint8_t, 4> destination_ip{};
  std::uint16_t destination_port = 0;
  std::vector<std::uint8_t> payload;
};

namespace pcap_detail {

inline constexpr std::uint32_t kMagicMicroseconds = 0xA1B2C3D4;
inline constexpr std::uint32_t kMagicNanoseconds = 0xA1B23C4D;
inline constexpr std::uint32_t kLinkTypeEthernet = 1;
inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherTypeVlan = 0x8100;
inline constexpr std::uint8_t kProtocolUdp = 17;

inline std::uint32_t byte_swapped(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// The UDP datagram carried by one Ethernet frame, if it carries a whole one.
inline std::optional<UdpDatagram> udp_in_frame(ByteSpan frame) {
  SpanReader in(frame);
  if (!in.skip(12)) return std::nullopt;  // destination and source MAC
  auto ether_type = in.read_u16_be();
  if (ether_type == kEtherTypeVlan) {
    if (!in.skip(2)) return std::nullopt;  // tag control information
    ether_type = in.read_u16_be();
  }
  if (ether_type != kEtherTypeIpv4) return std::nullopt;

  const ByteSpan ip = in.rest();
  if (ip.size() < 20) return std::nullopt;
  const std::size_t header_length = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
  const bool fragmented = ((ip[6] << 8 | ip[7]) & 0x3FFF) != 0;  // more-fragments flag or an offset
  if (header_length < 20 || header_length > ip.size() || ip[9] != kProtocolUdp || fragmented) return std::nullopt;

  UdpDatagram datagram;
  std::copy(ip.begin() + 12, ip.begin() + 16, datagram.source_ip.begin());
  std::copy(ip.begin() + 16, ip.begin() + 20, datagram.destination_ip.begin());
  SpanReader udp(ip.subspan(header_length));
  const auto source_port = udp.read_u16_be();
  const auto destination_port = udp.read_u16_be();
  const auto udp_length = udp.read_u16_be();
  // The UDP length, not the frame, bounds the payload: short frames carry padding.
  if (!udp_length || *udp_length < 8 || !udp.skip(2)) return std::nullopt;
  const auto payload = udp.read_bytes(*udp_length - 8u);
  if (!payload) return std::nullopt;
  datagram.source_port = *source_port;
  datagram.destination_port = *destination_port;
  datagram.payload.assign(payload->begin(), payload->end());
  return datagram;
}

}  // namespace pcap_detail

// Every UDP-over-IPv4 datagram of the capture, in capture order. Frames that
// carry anything else, IP fragments and frames cut short by the snapshot
// length are skipped. Nothing if the octets are not an Ethernet pcap capture.
inline std::optional<std::vector<UdpDatagram>> parse_pcap(ByteSpan file) {
  using namespace pcap_detail;
  SpanReader in(file);
  const auto magic = in.read_u32_be();
  if (!magic) return std::nullopt;
  bool swapped = false;
  if (*magic == byte_swapped(kMagicMicroseconds) || *magic == byte_swapped(kMagicNanoseconds)) {
    swapped = true;
  } else if (*magic != kMagicMicroseconds && *magic != kMagicNanoseconds) {
    return std::nullopt;
  }
  auto read_u32 = [&in, swapped]() -> std::optional<std::uint32_t> {
    const auto v = in.read_u32_be();
    if (!v) return std::nullopt;
    return swapped ? byte_swapped(*v) : *v;
  };

  if (!in.skip(16)) return std::nullopt;  // version, time zone, accuracy, snapshot length
  if (read_u32() != kLinkTypeEthernet) return std::nullopt;

  std::vector<UdpDatagram> datagrams;
  while (!in.empty()) {
    if (!in.skip(8)) return std::nullopt;  // timestamp
    const auto captured_length = read_u32();
    const auto original_length = read_u32();
    if (!captured_length || !original_length) return std::nullopt;
    const auto frame = in.read_bytes(*captured_length);
    if (!frame) return std::nullopt;
    if (*captured_length < *original_length) continue;
    if (auto datagram = udp_in_frame(*frame)) datagrams.push_back(std::move(*datagram));
  }
  return datagrams;
}

inline std::optional<std::vector<UdpDatagram>> read_pcap(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  return parse_pcap(file);
}

}  // namespace ferromesh::test
