#include "codec/property_identifier.hpp"

#include <array>
#include <iterator>

namespace ferromesh {

namespace {

using Member = PropertyIdentifier::Member;

constexpr std::size_t kMemberCount = std::size(detail::kPropertyIdentifierNumbers);
static_assert(kMemberCount == static_cast<std::size_t>(Member::Other));

// The standard numbers properties 0-511 and, having run out, 4194304 upwards;
// 512-4194303 are vendors'. Each run gets a dense table.
constexpr std::uint32_t kLowEnd = 512;
constexpr std::uint32_t kHighFirst = 4194304;

constexpr bool list_is_ascending() {
  for (std::size_t i = 1; i < kMemberCount; ++i) {
    if (detail::kPropertyIdentifierNumbers[i - 1] >= detail::kPropertyIdentifierNumbers[i]) return false;
  }
  return true;
}
static_assert(list_is_ascending(), "property identifiers must be listed once each, in ascending order");

constexpr bool every_number_in_a_run() {
  for (std::uint32_t number : detail::kPropertyIdentifierNumbers) {
    if (number >= kLowEnd && number < kHighFirst) return false;
  }
  return true;
}
static_assert(every_number_in_a_run(), "a property identifier between the two runs needs a table of its own");

constexpr std::uint32_t kHighSize = detail::kPropertyIdentifierNumbers[kMemberCount - 1] >= kHighFirst
                                        ? detail::kPropertyIdentifierNumbers[kMemberCount - 1] - kHighFirst + 1
                                        : 0;
static_assert(kHighSize <= 1024, "the high run grew large: check the list for a typing error");

template <std::size_t Size>
constexpr std::array<Member, Size> make_table(std::uint32_t first) {
  std::array<Member, Size> table{};
  table.fill(Member::Other);
  for (std::size_t i = 0; i < kMemberCount; ++i) {
    const std::uint32_t number = detail::kPropertyIdentifierNumbers[i];
    if (number >= first && number - first < Size) table[number - first] = static_cast<Member>(i);
  }
  return table;
}
constexpr auto kLow = make_table<kLowEnd>(0);
constexpr auto kHigh = make_table<kHighSize>(kHighFirst);

}  // namespace

PropertyIdentifier PropertyIdentifier::from_u32(std::uint32_t number) noexcept {
  if (number < kLowEnd) return PropertyIdentifier(kLow[number], number);
  // Below kHighFirst the subtraction wraps to a large offset and fails the check.
  const std::uint32_t offset = number - kHighFirst;
  if (offset < kHighSize) return PropertyIdentifier(kHigh[offset], number);
  return PropertyIdentifier(Member::Other, number);
}

}  // namespace ferromesh
