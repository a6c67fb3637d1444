#include "codec/tag_length.hpp"

namespace ferromesh {

namespace {
constexpr std::uint8_t kLvtMask = 0x07;
constexpr std::uint8_t kLvtExtended = 5;
constexpr std::uint8_t kLvtOpening = 6;
constexpr std::uint8_t kLvtClosing = 7;
constexpr std::uint8_t kExtendedU16 = 254;
constexpr std::uint8_t kExtendedU32 = 255;
constexpr std::uint8_t kClassContext = 0x08;
constexpr std::uint8_t kExtendedTagNumber = 15;

// The header octet, then the tag number itself when it needs the extended form.
void append_header(Bytes& out, std::uint8_t tag, std::uint8_t class_and_lvt) {
  if (tag < kExtendedTagNumber) {
    append_u8(out, static_cast<std::uint8_t>(tag << 4 | class_and_lvt));
    return;
  }
  append_u8(out, static_cast<std::uint8_t>(kExtendedTagNumber << 4 | class_and_lvt));
  append_u8(out, tag);
}

// The header (LVT 0..5) and, from 5 octets on, the extended length.
void append_header_and_length(Bytes& out, std::uint8_t tag, std::uint8_t class_bit, std::size_t length) {
  if (length < kLvtExtended) {
    append_header(out, tag, static_cast<std::uint8_t>(class_bit | length));
    return;
  }
  append_header(out, tag, static_cast<std::uint8_t>(class_bit | kLvtExtended));
  if (length < kExtendedU16) {
    append_u8(out, static_cast<std::uint8_t>(length));
  } else if (length <= 0xFFFF) {
    append_u8(out, kExtendedU16);
    append_u16_be(out, static_cast<std::uint16_t>(length));
  } else {
    append_u8(out, kExtendedU32);
    append_u32_be(out, static_cast<std::uint32_t>(length));
  }
}

}  // namespace

void append_application_header(Bytes& out, std::uint8_t tag, std::size_t length) {
  append_header_and_length(out, tag, 0, length);
}

void append_context_header(Bytes& out, std::uint8_t tag, std::size_t length) {
  append_header_and_length(out, tag, kClassContext, length);
}

void append_opening_tag(Bytes& out, std::uint8_t tag) { append_header(out, tag, static_cast<std::uint8_t>(kClassContext | kLvtOpening)); }
void append_closing_tag(Bytes& out, std::uint8_t tag) { append_header(out, tag, static_cast<std::uint8_t>(kClassContext | kLvtClosing)); }

Result<std::uint32_t> read_content_length(std::uint8_t header, SpanReader& reader) {
  const std::uint8_t lvt = header & kLvtMask;
  if (lvt < kLvtExtended) return std::uint32_t{lvt};
  if (lvt > kLvtExtended) return DecodeError::InvalidData;

  const auto first = reader.read_u8();
  if (!first) return DecodeError::IncompleteData;
  if (*first == kExtendedU16) {
    const auto length = reader.read_u16_be();
    if (!length) return DecodeError::IncompleteData;
    return std::uint32_t{*length};
  }
  if (*first == kExtendedU32) {
    const auto length = reader.read_u32_be();
    if (!length) return DecodeError::IncompleteData;
    return *length;
  }
  return std::uint32_t{*first};
}

Result<std::uint32_t> read_unsigned_content(std::uint32_t length, SpanReader& reader) {
  if (length > 4) return DecodeError::InvalidData;
  const auto value = reader.read_uint_be(length);
  if (!value) return DecodeError::IncompleteData;
  return static_cast<std::uint32_t>(*value);
}

}  // namespace ferromesh
