#include "codec/tag_length.hpp"

namespace ferromesh {

namespace {
constexpr std::uint8_t kLvtMask = 0x07;
constexpr std::uint8_t kLvtExtended = 5;
constexpr std::uint8_t kExtendedU16 = 254;
constexpr std::uint8_t kExtendedU32 = 255;
}  // namespace

void append_application_header(Bytes& out, std::uint8_t tag, std::size_t length) {
  const auto header = static_cast<std::uint8_t>(tag << 4);
  if (length < kLvtExtended) {
    append_u8(out, static_cast<std::uint8_t>(header | length));
    return;
  }
  append_u8(out, static_cast<std::uint8_t>(header | kLvtExtended));
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
