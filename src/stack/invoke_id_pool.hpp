#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace ferromesh::stack {

// The 256 invoke IDs towards one destination. ID i is bit i % 64 of word i / 64.
struct InvokeIdPool {
  std::array<std::uint64_t, 4> in_use{};
  // Where the next search starts; freed IDs are not reused before the search
  // has gone round, so a late answer is unlikely to meet a new request.
  std::uint8_t next_id = 0;

  // Takes the first free ID at or after next_id, wrapping from 255 to 0.
  std::optional<std::uint8_t> allocate() noexcept;
  void release(std::uint8_t id) noexcept;
  bool is_used(std::uint8_t id) const noexcept;
  std::size_t used_count() const noexcept;
};

}  // namespace ferromesh::stack
