#pragma once

#include <cstdint>

#include "codec/byte_writer.hpp"

namespace ferromesh::services {

// (tag << 4) | 0x0C, then the four octets of the object identifier word.
// Tag numbers 0..14 only; the extended tag-number form is never written.
void encode_context_object_id(std::uint8_t tag_number, std::uint32_t object_id_word, Bytes& out);

// (tag << 4) | 0x08 | L, then the value in its shortest big-endian form (L = 1..4).
void encode_context_unsigned(std::uint8_t tag_number, std::uint32_t value, Bytes& out);

// (tag << 4) | 0x09, then 1 or 0.
void encode_context_boolean(std::uint8_t tag_number, bool value, Bytes& out);

// (tag << 4) | 0x0C, then the binary32 big-endian.
void encode_context_real(std::uint8_t tag_number, float value, Bytes& out);

inline void encode_opening_tag(std::uint8_t tag_number, Bytes& out) {
  out.push_back(static_cast<std::uint8_t>((tag_number << 4) | 0x0E));
}
inline void encode_closing_tag(std::uint8_t tag_number, Bytes& out) {
  out.push_back(static_cast<std::uint8_t>((tag_number << 4) | 0x0F));
}

}  // namespace ferromesh::services
