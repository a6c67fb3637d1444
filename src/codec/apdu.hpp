#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"

namespace ferromesh::apdu {

enum class PduType : std::uint8_t {
  ConfirmedRequest = 0,
  UnconfirmedRequest = 1,
  SimpleAck = 2,
  ComplexAck = 3,
  SegmentAck = 4,
  Error = 5,
  Reject = 6,
  Abort = 7,
};

inline constexpr std::uint8_t kFlagSegmented = 0x08;
inline constexpr std::uint8_t kFlagMoreFollows = 0x04;
inline constexpr std::uint8_t kFlagSegmentedResponseAccepted = 0x02;
inline constexpr std::uint8_t kFlagNegative = 0x02;  // SegmentACK
inline constexpr std::uint8_t kFlagServer = 0x01;    // SegmentACK, Abort
// Max-APDU-length-accepted code 5: up to 1476 octets.
inline constexpr std::uint8_t kMaxApduCode1476 = 5;
// Window sizes in segmentation run 1..127.
inline constexpr std::uint8_t kLargestWindow = 127;

// Abort reasons the client sends.
inline constexpr std::uint8_t kAbortOther = 0;
inline constexpr std::uint8_t kAbortBufferOverflow = 1;
inline constexpr std::uint8_t kAbortTsmTimeout = 10;

// The largest max-APDU-length-accepted code (0..5: 50, 128, 206, 480, 1024,
// 1476 octets) whose length fits `octets` (code 0 below 128), and the
// length a code stands for (the reserved codes 6..15 read as 50).
std::uint8_t max_apdu_code(std::size_t octets) noexcept;
std::size_t max_apdu_octets(std::uint8_t code) noexcept;
// The max-segments-accepted code for `segments` (at least 2): the largest
// count 2, 4 .. 64 that does not exceed it, or 7 (more than 64).
std::uint8_t max_segments_code(std::size_t segments) noexcept;

struct SegmentHeader {
  bool more_follows = false;
  std::uint8_t sequence_number = 0;
  std::uint8_t proposed_window_size = 0;
  friend bool operator==(const SegmentHeader&, const SegmentHeader&) = default;
};

// Everything of a Confirmed-Request up to its service choice; the service
// parameters (of this segment) follow.
struct ConfirmedRequestHeader {
  std::uint8_t invoke_id = 0;
  std::uint8_t service_choice = 0;
  std::uint8_t max_segments = 0;  // code, bits 6-4
  std::uint8_t max_apdu = kMaxApduCode1476;  // code, bits 3-0
  std::optional<SegmentHeader> segmentation;
  bool segmented_response_accepted = true;
};

struct ComplexAck {
  std::span<const std::uint8_t> payload;  // after the service-ACK choice; borrowed
  std::uint8_t invoke_id = 0;
  std::uint8_t service_choice = 0;
  std::optional<SegmentHeader> segmentation;
};

struct ErrorPdu {
  std::uint32_t error_class = 0;
  std::uint32_t error_code = 0;
  std::uint8_t invoke_id = 0;
  std::uint8_t service_choice = 0;
  // Everything after the service choice; borrowed. Some services' errors
  // carry more than the class and code (WritePropertyMultiple: the first
  // failed write).
  std::span<const std::uint8_t> parameters;
};

struct SegmentAck {
  bool negative = false;
  bool server = false;  // sent by the peer as the server of the transaction
  std::uint8_t invoke_id = 0;
  std::uint8_t sequence_number = 0;
  std::uint8_t actual_window_size = 0;
};

// Short headers the client reads without a full decoder.
struct SimpleAck {
  std::uint8_t invoke_id = 0;
  std::uint8_t service_choice = 0;
};
struct Reject {
  std::uint8_t invoke_id = 0;
  std::uint8_t reason = 0;
};
struct Abort {
  bool server = false;  // sent by the server of the transaction
  std::uint8_t invoke_id = 0;
  std::uint8_t reason = 0;
};
struct UnconfirmedRequest {
  std::uint8_t service_choice = 0;
  std::span<const std::uint8_t> service_data;  // borrowed
};

// High nibble of the first octet; nothing for an empty APDU.
std::optional<std::uint8_t> pdu_type(std::span<const std::uint8_t> apdu) noexcept;

// Encoders append one APDU header to the datagram being built in `out`;
// what follows it (service parameters) the caller appends. Inline: they run
// for every datagram sent.

inline void append_confirmed_request(Bytes& out, const ConfirmedRequestHeader& header) {
  std::uint8_t first = static_cast<std::uint8_t>(PduType::ConfirmedRequest) << 4;
  if (header.segmentation) first |= kFlagSegmented;
  if (header.segmentation && header.segmentation->more_follows) first |= kFlagMoreFollows;
  if (header.segmented_response_accepted) first |= kFlagSegmentedResponseAccepted;
  append_u8(out, first);
  append_u8(out, static_cast<std::uint8_t>((header.max_segments & 0x07) << 4 | (header.max_apdu & 0x0F)));
  append_u8(out, header.invoke_id);
  if (header.segmentation) {
    append_u8(out, header.segmentation->sequence_number);
    append_u8(out, header.segmentation->proposed_window_size);
  }
  append_u8(out, header.service_choice);
}

// 0x10, the service choice.
inline void append_unconfirmed_request(Bytes& out, std::uint8_t service_choice) {
  append_u8(out, static_cast<std::uint8_t>(PduType::UnconfirmedRequest) << 4);
  append_u8(out, service_choice);
}

// 0x40 with the NAK and SRV bits, invoke ID, sequence number, window size.
inline void append_segment_ack(Bytes& out, const SegmentAck& ack) {
  std::uint8_t first = static_cast<std::uint8_t>(PduType::SegmentAck) << 4;
  if (ack.negative) first |= kFlagNegative;
  if (ack.server) first |= kFlagServer;
  append_u8(out, first);
  append_u8(out, ack.invoke_id);
  append_u8(out, ack.sequence_number);
  append_u8(out, ack.actual_window_size);
}

// 0x70 with the SRV bit, invoke ID, reason.
inline void append_abort(Bytes& out, const Abort& abort) {
  std::uint8_t first = static_cast<std::uint8_t>(PduType::Abort) << 4;
  if (abort.server) first |= kFlagServer;
  append_u8(out, first);
  append_u8(out, abort.invoke_id);
  append_u8(out, abort.reason);
}

Result<ComplexAck> decode_complex_ack(std::span<const std::uint8_t> apdu);
Result<ErrorPdu> decode_error_apdu(std::span<const std::uint8_t> apdu);
Result<SegmentAck> decode_segment_ack(std::span<const std::uint8_t> apdu);
Result<SimpleAck> decode_simple_ack(std::span<const std::uint8_t> apdu);
Result<Reject> decode_reject(std::span<const std::uint8_t> apdu);
Result<Abort> decode_abort(std::span<const std::uint8_t> apdu);
Result<UnconfirmedRequest> decode_unconfirmed_request(std::span<const std::uint8_t> apdu);

}  // namespace ferromesh::apdu
