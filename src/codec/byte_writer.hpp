#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ferromesh {

using Bytes = std::vector<std::uint8_t>;

inline void append_u8(Bytes& out, std::uint8_t v) { out.push_back(v); }

inline void append_u16_be(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

inline void append_u32_be(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// The low `n` octets of `v` (n = 1..8), most significant first.
inline void append_uint_be(Bytes& out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline void append_bytes(Bytes& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Octets needed for the shortest big-endian form of v (1 for zero).
inline std::size_t minimal_octets(std::uint32_t v) noexcept {
  if (v < 0x100u) return 1;
  if (v < 0x10000u) return 2;
  if (v < 0x1000000u) return 3;
  return 4;
}

}  // namespace ferromesh
