#include "codec/property_identifier.hpp"

#include <array>
#include <iterator>

namespace ferromesh {

namespace {

using Member = PropertyIdentifier::Member;

constexpr std::string_view kNames[] = {
#define FM_PROPERTY_IDENTIFIER(number, name, text) text,
#include "codec/property_identifiers.def"
#undef FM_PROPERTY_IDENTIFIER
};
static_assert(std::size(kNames) == static_cast<std::size_t>(Member::Other));

constexpr std::size_t kMemberCount = std::size(detail::kPropertyIdentifierNumbers);
// One entry per number up to the highest listed one.
constexpr std::size_t kTableSize = detail::kPropertyIdentifierNumbers[kMemberCount - 1] + 1u;

constexpr std::array<Member, kTableSize> make_table() {
  std::array<Member, kTableSize> table{};
  table.fill(Member::Other);
  for (std::size_t i = 0; i < kMemberCount; ++i) {
    table[detail::kPropertyIdentifierNumbers[i]] = static_cast<Member>(i);
  }
  return table;
}
constexpr std::array<Member, kTableSize> kByNumber = make_table();

constexpr bool list_is_ascending() {
  for (std::size_t i = 1; i < kMemberCount; ++i) {
    if (detail::kPropertyIdentifierNumbers[i - 1] >= detail::kPropertyIdentifierNumbers[i]) return false;
  }
  return true;
}
static_assert(list_is_ascending(), "property identifiers must be listed once each, in ascending order");
static_assert(kTableSize == 388);

}  // namespace

PropertyIdentifier PropertyIdentifier::from_u32(std::uint32_t number) noexcept {
  if (number >= kTableSize) return PropertyIdentifier(Member::Other, number);
  return PropertyIdentifier(kByNumber[number], number);
}

std::string_view PropertyIdentifier::name() const noexcept {
  if (member_ == Member::Other) return {};
  return kNames[static_cast<std::uint16_t>(member_)];
}

}  // namespace ferromesh
