#pragma once

#include <cstdint>

namespace ferromesh {

// Property identifiers by number. Total: every 32-bit number converts to a
// member and back unchanged; numbers without a listed member travel as Other.
class PropertyIdentifier {
 public:
  enum class Member : std::uint16_t {
#define FM_PROPERTY_IDENTIFIER(number, name, text) name,
#include "codec/enumerations/property_identifier.def"
#undef FM_PROPERTY_IDENTIFIER
    Other,
  };

  constexpr PropertyIdentifier() noexcept : PropertyIdentifier(Member::PresentValue) {}
  // A listed member (not Other: use from_u32 for arbitrary numbers).
  constexpr PropertyIdentifier(Member member) noexcept;  // NOLINT: implicit by design

  // Numbers below 512 take one bounds check and one table lookup; the
  // standard's numbers from 4194304 up take one more of each.
  static PropertyIdentifier from_u32(std::uint32_t number) noexcept;
  constexpr std::uint32_t to_u32() const noexcept { return number_; }
  constexpr Member member() const noexcept { return member_; }

  friend constexpr bool operator==(PropertyIdentifier a, PropertyIdentifier b) noexcept {
    return a.member_ == b.member_ && a.number_ == b.number_;
  }

 private:
  constexpr PropertyIdentifier(Member member, std::uint32_t number) noexcept
      : member_(member), number_(number) {}

  Member member_;
  std::uint32_t number_;
};

namespace detail {
inline constexpr std::uint32_t kPropertyIdentifierNumbers[] = {
#define FM_PROPERTY_IDENTIFIER(number, name, text) number,
#include "codec/enumerations/property_identifier.def"
#undef FM_PROPERTY_IDENTIFIER
};
}  // namespace detail

constexpr PropertyIdentifier::PropertyIdentifier(Member member) noexcept
    : member_(member), number_(member == Member::Other ? 0 : detail::kPropertyIdentifierNumbers[static_cast<std::uint16_t>(member)]) {}

}  // namespace ferromesh
