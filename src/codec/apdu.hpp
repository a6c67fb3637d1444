#pragma once

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
// Max-APDU-length-accepted code 5: up to 1476 octets.
inline constexpr std::uint8_t kMaxApduCode1476 = 5;

struct SegmentHeader {
  bool more_follows = false;
  std::uint8_t sequence_number = 0;
  std::uint8_t proposed_window_size = 0;
  friend bool operator==(const SegmentHeader&, const SegmentHeader&) = default;
};

struct ConfirmedRequestHeader {
  std::span<const std::uint8_t> payload;  // the service request parameters
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
  bool server = false;
  std::uint8_t invoke_id = 0;
  std::uint8_t sequence_number = 0;
  std::uint8_t actual_window_size = 0;
};

// Short headers the client reads without a full decoder.
struct SimpleAck {
  std::uint8_t invoke_id = 0;
};
struct Reject {
  std::uint8_t invoke_id = 0;
  std::uint8_t reason = 0;
};
struct Abort {
  std::uint8_t invoke_id = 0;
  std::uint8_t reason = 0;
};
struct UnconfirmedRequest {
  std::uint8_t service_choice = 0;
  std::span<const std::uint8_t> service_data;  // borrowed
};

// High nibble of the first octet; nothing for an empty APDU.
std::optional<std::uint8_t> pdu_type(std::span<const std::uint8_t> apdu) noexcept;

Bytes encode_confirmed_request(const ConfirmedRequestHeader& header);
// 0x40, invoke ID, sequence number, window size (NAK and SRV clear).
Bytes encode_segment_ack(std::uint8_t invoke_id, std::uint8_t sequence_number, std::uint8_t window_size);

Result<ComplexAck> decode_complex_ack(std::span<const std::uint8_t> apdu);
Result<ErrorPdu> decode_error_apdu(std::span<const std::uint8_t> apdu);
Result<SegmentAck> decode_segment_ack(std::span<const std::uint8_t> apdu);
Result<SimpleAck> decode_simple_ack(std::span<const std::uint8_t> apdu);
Result<Reject> decode_reject(std::span<const std::uint8_t> apdu);
Result<Abort> decode_abort(std::span<const std::uint8_t> apdu);
Result<UnconfirmedRequest> decode_unconfirmed_request(std::span<const std::uint8_t> apdu);

}  // namespace ferromesh::apdu
