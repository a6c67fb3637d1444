#include "services/context_tags.hpp"

#include <bit>

namespace ferromesh::services {

namespace {
constexpr std::uint8_t kContextClass = 0x08;
constexpr std::uint8_t kObjectIdLength = 4;
constexpr std::uint8_t kRealLength = 4;
}  // namespace

void encode_context_object_id(std::uint8_t tag_number, std::uint32_t object_id_word, Bytes& out) {
  append_u8(out, static_cast<std::uint8_t>((tag_number << 4) | kContextClass | kObjectIdLength));
  append_u32_be(out, object_id_word);
}

void encode_context_unsigned(std::uint8_t tag_number, std::uint32_t value, Bytes& out) {
  const std::size_t length = minimal_octets(value);
  append_u8(out, static_cast<std::uint8_t>((tag_number << 4) | kContextClass | static_cast<std::uint8_t>(length)));
  append_uint_be(out, value, length);
}

void encode_context_boolean(std::uint8_t tag_number, bool value, Bytes& out) {
  append_u8(out, static_cast<std::uint8_t>((tag_number << 4) | kContextClass | 1));
  append_u8(out, value ? 1 : 0);
}

void encode_context_real(std::uint8_t tag_number, float value, Bytes& out) {
  append_u8(out, static_cast<std::uint8_t>((tag_number << 4) | kContextClass | kRealLength));
  append_u32_be(out, std::bit_cast<std::uint32_t>(value));
}

}  // namespace ferromesh::services
