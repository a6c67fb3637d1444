#pragma once

// Field readers shared by the ReadProperty and ReadPropertyMultiple
// acknowledgement decoders. Each advances the reader past what it read; after
// a failure the caller gives up, so the position no longer matters.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "codec/elements.hpp"
#include "codec/result.hpp"
#include "codec/span_reader.hpp"
#include "codec/types.hpp"

namespace ferromesh::services::ack {

inline constexpr std::uint8_t kContextClass = 0x08;
inline constexpr std::uint8_t kLengthMask = 0x07;
inline constexpr std::uint8_t kObjectIdHeader = 0x0C;  // context tag 0, length 4

constexpr std::uint8_t opening_tag(std::uint8_t tag_number) {
  return static_cast<std::uint8_t>((tag_number << 4) | 0x0E);
}
constexpr std::uint8_t closing_tag(std::uint8_t tag_number) {
  return static_cast<std::uint8_t>((tag_number << 4) | 0x0F);
}

// Context tag `tag_number`, whatever its length field.
constexpr bool is_context_number(std::uint8_t header, std::uint8_t tag_number) {
  return (header & 0xF8) == ((tag_number << 4) | kContextClass);
}

inline Result<ObjectIdentifier> read_object_id(SpanReader& in) {
  const auto header = in.read_u8();
  if (!header) return DecodeError::IncompleteData;
  if (*header != kObjectIdHeader) return DecodeError::InvalidContextTag;
  const auto word = in.read_u32_be();
  if (!word) return DecodeError::IncompleteData;
  return ObjectIdentifier::from_word(*word);
}

// The content of a number whose header octet has just been read. Lengths 5
// to 7 cannot hold a 32-bit number; they are refused rather than truncated.
inline Result<std::uint32_t> read_number(SpanReader& in, std::uint8_t header) {
  const std::size_t length = header & kLengthMask;
  if (length > 4) return DecodeError::InvalidData;
  const auto number = in.read_uint_be(length);
  if (!number) return DecodeError::IncompleteData;
  return static_cast<std::uint32_t>(*number);
}

// An array index under context tag `tag_number`, if the next octet starts
// one. Length fields 6 and 7 mark opening and closing tags, not an index.
inline Result<std::optional<std::uint32_t>> read_array_index(SpanReader& in, std::uint8_t tag_number) {
  const auto header = in.peek_u8();
  if (!header || !is_context_number(*header, tag_number) || (*header & kLengthMask) >= 6) {
    return std::optional<std::uint32_t>{};
  }
  in.skip(1);
  const auto index = read_number(in, *header);
  if (!index) return index.error();
  return std::optional<std::uint32_t>{index.value()};
}

// Consumes `tag` if it is the next octet.
inline bool consume_tag(SpanReader& in, std::uint8_t tag) {
  if (in.peek_u8() != tag) return false;
  in.skip(1);
  return true;
}

// Consumes `tag`, or says why it is not there.
inline std::optional<DecodeError> expect_tag(SpanReader& in, std::uint8_t tag) {
  if (consume_tag(in, tag)) return std::nullopt;
  return in.empty() ? DecodeError::IncompleteData : DecodeError::InvalidContextTag;
}

// A context-tagged number under `tag_number`.
inline Result<std::uint32_t> read_context_number(SpanReader& in, std::uint8_t tag_number) {
  const auto header = in.read_u8();
  if (!header) return DecodeError::IncompleteData;
  if (!is_context_number(*header, tag_number)) return DecodeError::InvalidContextTag;
  return read_number(in, *header);
}

// The elements of a value up to and including `closing`: application-tagged
// values, context-tagged data and constructed data (codec/elements.hpp). A
// single element is returned as it is; none or several become an Array.
inline Result<PropertyValue> read_values(SpanReader& in, std::uint8_t closing) {
  std::vector<PropertyValue> values;
  while (!consume_tag(in, closing)) {
    const auto header = in.peek_u8();
    if (!header) return DecodeError::IncompleteData;
    if (*header & kContextClass) {
      auto element = read_element(in);
      if (!element) return element.error();
      if (values.empty() && consume_tag(in, closing)) return std::move(element).value();
      values.push_back(std::move(element).value());
      continue;
    }
    // Application-tagged values, by far the most, go straight to their decoder.
    auto decoded = PropertyValue::decode(in.rest());
    if (!decoded) return decoded.error();
    in.skip(decoded->consumed);
    // Most answers hold a single value, which then needs no vector.
    if (values.empty() && consume_tag(in, closing)) return std::move(decoded->value);
    values.push_back(std::move(decoded->value));
  }
  return PropertyValue{PropertyValue::Array{std::move(values)}};
}

}  // namespace ferromesh::services::ack
