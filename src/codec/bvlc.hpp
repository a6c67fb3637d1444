#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/byte_writer.hpp"

namespace ferromesh::bvlc {

inline constexpr std::uint8_t kTypeBacnetIp = 0x81;
// BVLC functions.
inline constexpr std::uint8_t kResult = 0x00;
inline constexpr std::uint8_t kForwardedNpdu = 0x04;
inline constexpr std::uint8_t kRegisterForeignDevice = 0x05;
inline constexpr std::uint8_t kDistributeBroadcastToNetwork = 0x09;
inline constexpr std::uint8_t kOriginalUnicastNpdu = 0x0A;
inline constexpr std::uint8_t kOriginalBroadcastNpdu = 0x0B;

// BVLC-Result codes: success, and the NAK of each function a BBMD refuses.
inline constexpr std::uint16_t kResultSuccessful = 0x0000;
inline constexpr std::uint16_t kResultWriteBdtNak = 0x0010;
inline constexpr std::uint16_t kResultReadBdtNak = 0x0020;
inline constexpr std::uint16_t kResultRegisterForeignDeviceNak = 0x0030;
inline constexpr std::uint16_t kResultReadFdtNak = 0x0040;
inline constexpr std::uint16_t kResultDeleteFdtEntryNak = 0x0050;
inline constexpr std::uint16_t kResultDistributeBroadcastNak = 0x0060;

inline constexpr std::size_t kHeaderLength = 4;
// The length field is 16 bits wide and counts the whole datagram.
inline constexpr std::size_t kLargestDatagram = 0xFFFF;
// A B/IP address: IPv4 address, then UDP port, most significant octet first.
inline constexpr std::size_t kBipAddressLength = 6;
using BipAddress = std::array<std::uint8_t, kBipAddressLength>;

// A datagram is built in one buffer: begin() appends the header of
// `function` and returns where the datagram starts; the caller appends what
// the function carries (an NPDU, a time-to-live); finish() then writes the
// length. Requires at most kLargestDatagram octets from `start` on. Inline:
// they run for every datagram sent.
inline std::size_t begin(Bytes& out, std::uint8_t function) {
  const std::size_t start = out.size();
  append_u8(out, kTypeBacnetIp);
  append_u8(out, function);
  append_u16_be(out, 0);  // written by finish
  return start;
}

inline void finish(Bytes& out, std::size_t start) noexcept {
  const std::size_t length = out.size() - start;
  out[start + 2] = static_cast<std::uint8_t>(length >> 8);
  out[start + 3] = static_cast<std::uint8_t>(length);
}

// Register-Foreign-Device: asks the BBMD it goes to to forward broadcasts to
// the sender for `time_to_live` seconds (plus the BBMD's grace period).
inline void append_register_foreign_device(Bytes& out, std::uint16_t time_to_live) {
  const std::size_t start = begin(out, kRegisterForeignDevice);
  append_u16_be(out, time_to_live);
  finish(out, start);
}

// The code of a BVLC-Result datagram: nothing for any other datagram, one
// whose length field is not 6 or is beyond the datagram, or a code that is
// none of the seven defined.
inline std::optional<std::uint16_t> result_code(std::span<const std::uint8_t> datagram) noexcept {
  constexpr std::size_t kResultLength = kHeaderLength + 2;
  if (datagram.size() < kResultLength || datagram[0] != kTypeBacnetIp || datagram[1] != kResult) return std::nullopt;
  if ((std::size_t{datagram[2]} << 8 | datagram[3]) != kResultLength) return std::nullopt;
  const auto code = static_cast<std::uint16_t>(datagram[4] << 8 | datagram[5]);
  // Success and the NAKs 0x10..0x60 are the only codes.
  if (code > kResultDistributeBroadcastNak || code % 0x10 != 0) return std::nullopt;
  return code;
}

// A received datagram that carries an NPDU.
struct Frame {
  std::span<const std::uint8_t> npdu;  // borrowed from the datagram
  std::uint8_t function = 0;           // Original-Unicast, Original-Broadcast or Forwarded-NPDU

  // Who sent the NPDU first, for a Forwarded-NPDU (the UDP sender is then
  // the BBMD): the B/IP address just before the NPDU in the datagram.
  std::optional<BipAddress> forwarded_from() const noexcept {
    if (function != kForwardedNpdu) return std::nullopt;
    BipAddress address;
    std::copy_n(npdu.data() - kBipAddressLength, kBipAddressLength, address.begin());
    return address;
  }
};

// The NPDU of a received datagram, or nothing when the datagram carries
// none or must be dropped: fewer than 4 octets, a type other than 0x81, a
// function other than Original-Unicast/Broadcast-NPDU or Forwarded-NPDU, a
// length field below its header (with a Forwarded-NPDU's address) or beyond
// the datagram. Octets past the length field are not part of the NPDU.
// Inline: every datagram received passes here first.
inline std::optional<Frame> unwrap(std::span<const std::uint8_t> datagram) noexcept {
  if (datagram.size() < kHeaderLength || datagram[0] != kTypeBacnetIp) return std::nullopt;
  const std::uint8_t function = datagram[1];
  const std::size_t length = std::size_t{datagram[2]} << 8 | datagram[3];
  if (length > datagram.size()) return std::nullopt;
  std::size_t npdu_start = kHeaderLength;
  if (function == kForwardedNpdu) {
    npdu_start += kBipAddressLength;
  } else if (function != kOriginalUnicastNpdu && function != kOriginalBroadcastNpdu) {
    return std::nullopt;
  }
  if (length < npdu_start) return std::nullopt;
  return Frame{datagram.subspan(npdu_start, length - npdu_start), function};
}

}  // namespace ferromesh::bvlc
