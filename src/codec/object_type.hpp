#pragma once

#include <cstdint>

namespace ferromesh {

// Object types by number. Total: every 16-bit number converts to a member and
// back unchanged; numbers without a listed member travel as Member::Other.
class ObjectType {
 public:
  enum class Member : std::uint8_t {
#define FM_OBJECT_TYPE(number, name, text) name,
#include "codec/enumerations/object_type.def"
#undef FM_OBJECT_TYPE
    Other,
  };

  // Device by default, so that a default-constructed identifier is meaningful.
  constexpr ObjectType() noexcept : ObjectType(Member::Device) {}
  // A listed member (not Other: use from_u16 for arbitrary numbers).
  constexpr ObjectType(Member member) noexcept;  // NOLINT: implicit by design

  // One bounds check and one table lookup.
  static ObjectType from_u16(std::uint16_t number) noexcept;
  constexpr std::uint16_t to_u16() const noexcept { return number_; }
  constexpr Member member() const noexcept { return member_; }

  friend constexpr bool operator==(ObjectType a, ObjectType b) noexcept {
    return a.member_ == b.member_ && a.number_ == b.number_;
  }

 private:
  constexpr ObjectType(Member member, std::uint16_t number) noexcept : member_(member), number_(number) {}

  Member member_;
  std::uint16_t number_;
};

namespace detail {
inline constexpr std::uint16_t kObjectTypeNumbers[] = {
#define FM_OBJECT_TYPE(number, name, text) number,
#include "codec/enumerations/object_type.def"
#undef FM_OBJECT_TYPE
};
}  // namespace detail

constexpr ObjectType::ObjectType(Member member) noexcept
    : member_(member), number_(member == Member::Other ? 0 : detail::kObjectTypeNumbers[static_cast<std::uint8_t>(member)]) {}

}  // namespace ferromesh
