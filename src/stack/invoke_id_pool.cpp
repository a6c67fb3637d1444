#include "stack/invoke_id_pool.hpp"

#include <bit>
#include <tuple>

namespace ferromesh::stack {

namespace {

constexpr unsigned kWords = 4;
static_assert(std::tuple_size_v<decltype(InvokeIdPool::in_use)> == kWords);

constexpr std::uint64_t bit_of(std::uint8_t id) noexcept { return std::uint64_t{1} << (id % 64u); }

}  // namespace

std::optional<std::uint8_t> InvokeIdPool::allocate() noexcept {
  const unsigned first_word = next_id / 64u;
  const unsigned first_bit = next_id % 64u;
  // The start word twice: its bits from next_id on first, those below it last.
  for (unsigned step = 0; step <= kWords; ++step) {
    const unsigned word = (first_word + step) % kWords;
    std::uint64_t free_bits = ~in_use[word];
    if (step == 0) free_bits &= ~std::uint64_t{0} << first_bit;
    if (step == kWords) free_bits &= (std::uint64_t{1} << first_bit) - 1;
    if (free_bits == 0) continue;
    const auto id = static_cast<std::uint8_t>(word * 64u + static_cast<unsigned>(std::countr_zero(free_bits)));
    in_use[word] |= bit_of(id);
    next_id = static_cast<std::uint8_t>(id + 1u);
    return id;
  }
  return std::nullopt;
}

void InvokeIdPool::release(std::uint8_t id) noexcept { in_use[id / 64u] &= ~bit_of(id); }

bool InvokeIdPool::is_used(std::uint8_t id) const noexcept { return (in_use[id / 64u] & bit_of(id)) != 0; }

std::size_t InvokeIdPool::used_count() const noexcept {
  std::size_t count = 0;
  for (std::uint64_t word : in_use) count += static_cast<std::size_t>(std::popcount(word));
  return count;
}

}  // namespace ferromesh::stack
