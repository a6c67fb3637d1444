#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ferromesh {

using ByteSpan = std::span<const std::uint8_t>;

// Forward-only reader over a byte span. Every read is bounds-checked and
// either consumes exactly what it returns or nothing at all.
class SpanReader {
 public:
  explicit SpanReader(ByteSpan data) noexcept : data_(data) {}

  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  bool empty() const noexcept { return pos_ == data_.size(); }
  ByteSpan rest() const noexcept { return data_.subspan(pos_); }

  std::optional<std::uint8_t> peek_u8() const noexcept {
    if (empty()) return std::nullopt;
    return data_[pos_];
  }

  std::optional<std::uint8_t> read_u8() noexcept {
    if (empty()) return std::nullopt;
    return data_[pos_++];
  }

  std::optional<std::uint16_t> read_u16_be() noexcept {
    auto v = read_uint_be(2);
    if (!v) return std::nullopt;
    return static_cast<std::uint16_t>(*v);
  }

  std::optional<std::uint32_t> read_u32_be() noexcept {
    auto v = read_uint_be(4);
    if (!v) return std::nullopt;
    return static_cast<std::uint32_t>(*v);
  }

  std::optional<std::uint64_t> read_u64_be() noexcept { return read_uint_be(8); }

  // Big-endian unsigned number of `n` octets (0..8); n == 0 reads 0.
  std::optional<std::uint64_t> read_uint_be(std::size_t n) noexcept {
    if (n > 8 || n > remaining()) return std::nullopt;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | data_[pos_ + i];
    pos_ += n;
    return v;
  }

  std::optional<ByteSpan> read_bytes(std::size_t n) noexcept {
    if (n > remaining()) return std::nullopt;
    ByteSpan out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  bool skip(std::size_t n) noexcept {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

 private:
  ByteSpan data_;
  std::size_t pos_ = 0;
};

}  // namespace ferromesh
