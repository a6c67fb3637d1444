#include "stack/invoke_id_pool.hpp"

#include <numeric>

namespace ferromesh::stack {

namespace {
constexpr std::uint64_t bit_of(std::uint8_t id) noexcept { return std::uint64_t{1} << (id % 64u); }
}  // namespace

InvokeIdPool::InvokeIdPool() noexcept { std::iota(free_order_.begin(), free_order_.end(), std::uint8_t{0}); }

std::optional<std::uint8_t> InvokeIdPool::allocate() noexcept {
  if (free_count_ == 0) return std::nullopt;
  const std::uint8_t id = free_order_[head_];
  ++head_;  // wraps from 255 to 0 with the ring
  --free_count_;
  in_use_[id / 64u] |= bit_of(id);
  return id;
}

void InvokeIdPool::release(std::uint8_t id) noexcept {
  if (!is_used(id)) return;
  free_order_[static_cast<std::uint8_t>(head_ + free_count_)] = id;
  ++free_count_;
  in_use_[id / 64u] &= ~bit_of(id);
}

std::optional<std::uint8_t> InvokeIdPool::next() const noexcept {
  if (free_count_ == 0) return std::nullopt;
  return free_order_[head_];
}

bool InvokeIdPool::is_used(std::uint8_t id) const noexcept { return (in_use_[id / 64u] & bit_of(id)) != 0; }

}  // namespace ferromesh::stack
