#include "codec/apdu.hpp"

#include <iterator>

#include "codec/span_reader.hpp"
#include "codec/tag_length.hpp"

namespace ferromesh::apdu {

namespace {

constexpr std::uint8_t kTagEnumerated = 9;
constexpr std::uint8_t kOpeningTag0 = 0x0E;
constexpr std::uint8_t kClosingTag0 = 0x0F;

bool has_type(std::uint8_t first_octet, PduType type) {
  return (first_octet >> 4) == static_cast<std::uint8_t>(type);
}

// An Enumerated of the error class or code. The class bit is not examined.
Result<std::uint32_t> read_error_enumerated(SpanReader& reader) {
  const auto header = reader.read_u8();
  if (!header) return DecodeError::IncompleteData;
  if ((*header >> 4) != kTagEnumerated) return DecodeError::InvalidData;
  const auto length = read_content_length(*header, reader);
  if (!length) return length.error();
  return read_unsigned_content(length.value(), reader);
}

}  // namespace

namespace {
constexpr std::size_t kMaxApduLengths[] = {50, 128, 206, 480, 1024, 1476};
constexpr std::uint8_t kMaxSegmentsMoreThan64 = 7;
}  // namespace

std::uint8_t max_apdu_code(std::size_t octets) noexcept {
  std::uint8_t code = 0;
  while (code + 1u < std::size(kMaxApduLengths) && kMaxApduLengths[code + 1u] <= octets) ++code;
  return code;
}

std::size_t max_apdu_octets(std::uint8_t code) noexcept {
  return code < std::size(kMaxApduLengths) ? kMaxApduLengths[code] : kMaxApduLengths[0];
}

std::uint8_t max_segments_code(std::size_t segments) noexcept {
  if (segments > 64) return kMaxSegmentsMoreThan64;
  std::uint8_t code = 1;  // 2 segments
  while (code < 6 && (std::size_t{2} << code) <= segments) ++code;
  return code;
}

std::optional<std::uint8_t> pdu_type(std::span<const std::uint8_t> apdu) noexcept {
  if (apdu.empty()) return std::nullopt;
  return static_cast<std::uint8_t>(apdu[0] >> 4);
}

// Every decoder reads the octets its header needs before it looks at the PDU
// type, so a short APDU is IncompleteData whatever its type.

Result<ComplexAck> decode_complex_ack(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto invoke_id = reader.read_u8();
  if (!first || !invoke_id || reader.empty()) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::ComplexAck)) return DecodeError::InvalidData;

  ComplexAck ack;
  ack.invoke_id = *invoke_id;
  if (*first & kFlagSegmented) {
    const auto sequence_number = reader.read_u8();
    const auto window_size = reader.read_u8();
    if (!sequence_number || !window_size) return DecodeError::IncompleteData;
    ack.segmentation = SegmentHeader{(*first & kFlagMoreFollows) != 0, *sequence_number, *window_size};
  }
  const auto service_choice = reader.read_u8();
  if (!service_choice) return DecodeError::IncompleteData;
  ack.service_choice = *service_choice;
  ack.payload = reader.rest();
  return ack;
}

Result<ErrorPdu> decode_error_apdu(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto invoke_id = reader.read_u8();
  const auto service_choice = reader.read_u8();
  if (!first || !invoke_id || !service_choice) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::Error)) return DecodeError::InvalidData;

  const auto parameters = reader.rest();
  // Errors with details of their own hold the class and code inside tag 0.
  const bool bracketed = reader.peek_u8() == kOpeningTag0;
  if (bracketed) reader.skip(1);
  const auto error_class = read_error_enumerated(reader);
  if (!error_class) return error_class.error();
  const auto error_code = read_error_enumerated(reader);
  if (!error_code) return error_code.error();
  if (bracketed) {
    const auto closing = reader.read_u8();
    if (!closing) return DecodeError::IncompleteData;
    if (*closing != kClosingTag0) return DecodeError::InvalidData;
  }
  return ErrorPdu{error_class.value(), error_code.value(), *invoke_id, *service_choice, parameters};
}

Result<SegmentAck> decode_segment_ack(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto invoke_id = reader.read_u8();
  const auto sequence_number = reader.read_u8();
  const auto window_size = reader.read_u8();
  if (!first || !invoke_id || !sequence_number || !window_size) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::SegmentAck)) return DecodeError::InvalidData;
  return SegmentAck{(*first & kFlagNegative) != 0, (*first & kFlagServer) != 0, *invoke_id, *sequence_number,
                    *window_size};
}

Result<SimpleAck> decode_simple_ack(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto invoke_id = reader.read_u8();
  const auto service_choice = reader.read_u8();
  if (!first || !invoke_id || !service_choice) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::SimpleAck)) return DecodeError::InvalidData;
  return SimpleAck{*invoke_id, *service_choice};
}

Result<Reject> decode_reject(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto invoke_id = reader.read_u8();
  const auto reason = reader.read_u8();
  if (!first || !invoke_id || !reason) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::Reject)) return DecodeError::InvalidData;
  return Reject{*invoke_id, *reason};
}

Result<Abort> decode_abort(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto invoke_id = reader.read_u8();
  const auto reason = reader.read_u8();
  if (!first || !invoke_id || !reason) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::Abort)) return DecodeError::InvalidData;
  return Abort{(*first & kFlagServer) != 0, *invoke_id, *reason};
}

Result<UnconfirmedRequest> decode_unconfirmed_request(std::span<const std::uint8_t> apdu) {
  SpanReader reader(apdu);
  const auto first = reader.read_u8();
  const auto service_choice = reader.read_u8();
  if (!first || !service_choice) return DecodeError::IncompleteData;
  if (!has_type(*first, PduType::UnconfirmedRequest)) return DecodeError::InvalidData;
  return UnconfirmedRequest{*service_choice, reader.rest()};
}

}  // namespace ferromesh::apdu
