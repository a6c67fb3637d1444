#include "codec/object_type.hpp"

#include <array>
#include <iterator>

namespace ferromesh {

namespace {

using Member = ObjectType::Member;

constexpr std::string_view kNames[] = {
#define FM_OBJECT_TYPE(number, name, text) text,
#include "codec/object_types.def"
#undef FM_OBJECT_TYPE
};

// The listed numbers form three contiguous runs; from_u16 maps each run by
// offset instead of searching.
struct Run {
  std::uint16_t first_number;
  std::uint16_t count;
  std::uint8_t first_member;
};
constexpr std::array<Run, 3> kRuns{{{0, 20, 0}, {40, 7, 20}, {1001, 26, 27}}};

constexpr bool runs_match_list() {
  std::size_t listed = 0;
  for (const Run& run : kRuns) {
    for (std::uint16_t i = 0; i < run.count; ++i) {
      if (detail::kObjectTypeNumbers[run.first_member + i] != run.first_number + i) return false;
    }
    listed += run.count;
  }
  return listed == std::size(detail::kObjectTypeNumbers);
}
static_assert(runs_match_list(), "object type list no longer matches the runs of from_u16");
static_assert(std::size(kNames) == static_cast<std::size_t>(Member::Other));

}  // namespace

ObjectType ObjectType::from_u16(std::uint16_t number) noexcept {
  for (const Run& run : kRuns) {
    const auto offset = static_cast<std::uint16_t>(number - run.first_number);
    if (number >= run.first_number && offset < run.count) {
      return ObjectType(static_cast<Member>(run.first_member + offset), number);
    }
  }
  return ObjectType(Member::Other, number);
}

std::string_view ObjectType::name() const noexcept {
  if (member_ == Member::Other) return {};
  return kNames[static_cast<std::uint8_t>(member_)];
}

}  // namespace ferromesh
