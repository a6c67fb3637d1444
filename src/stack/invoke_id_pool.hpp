#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace ferromesh::stack {

// The 256 invoke IDs towards one destination, handed out in the order they
// became free: the ID of a request that just ended is used again only after
// every other free ID has been, so that a late answer to it is as unlikely
// as can be to meet a new request under the same ID. A fresh pool hands out
// 0, 1, 2 ... in order.
class InvokeIdPool {
 public:
  InvokeIdPool() noexcept;

  // The ID free the longest; nothing when all 256 are in use.
  std::optional<std::uint8_t> allocate() noexcept;
  // Makes `id` the last to be handed out again; a free ID stays as it is.
  void release(std::uint8_t id) noexcept;
  // What allocate would return.
  std::optional<std::uint8_t> next() const noexcept;
  bool is_used(std::uint8_t id) const noexcept;
  std::size_t used_count() const noexcept { return 256 - free_count_; }

  // When the pool last handed out an ID, counted in allocations by the
  // whole stack: idle pools not used lately may be dropped.
  std::uint64_t last_use = 0;

 private:
  std::array<std::uint8_t, 256> free_order_;  // a ring of the free IDs from head_
  std::array<std::uint64_t, 4> in_use_{};     // ID i is bit i % 64 of word i / 64
  std::uint16_t free_count_ = 256;
  std::uint8_t head_ = 0;
};

}  // namespace ferromesh::stack
