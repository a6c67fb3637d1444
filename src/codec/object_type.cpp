#include "codec/object_type.hpp"

#include <array>
#include <iterator>

namespace ferromesh {

namespace {

using Member = ObjectType::Member;

constexpr std::size_t kMemberCount = std::size(detail::kObjectTypeNumbers);
static_assert(kMemberCount == static_cast<std::size_t>(Member::Other));

constexpr bool list_is_ascending() {
  for (std::size_t i = 1; i < kMemberCount; ++i) {
    if (detail::kObjectTypeNumbers[i - 1] >= detail::kObjectTypeNumbers[i]) return false;
  }
  return true;
}
static_assert(list_is_ascending(), "object types must be listed once each, in ascending order");

// One entry per number up to the highest listed one (about a kilobyte).
constexpr std::size_t kTableSize = detail::kObjectTypeNumbers[kMemberCount - 1] + 1u;

constexpr std::array<Member, kTableSize> make_table() {
  std::array<Member, kTableSize> table{};
  table.fill(Member::Other);
  for (std::size_t i = 0; i < kMemberCount; ++i) table[detail::kObjectTypeNumbers[i]] = static_cast<Member>(i);
  return table;
}
constexpr std::array<Member, kTableSize> kByNumber = make_table();

}  // namespace

ObjectType ObjectType::from_u16(std::uint16_t number) noexcept {
  if (number >= kTableSize) return ObjectType(Member::Other, number);
  return ObjectType(kByNumber[number], number);
}

}  // namespace ferromesh
