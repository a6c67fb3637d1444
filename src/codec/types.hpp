#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/object_type.hpp"
#include "codec/result.hpp"

namespace ferromesh {

// An object's type and instance; 10 + 22 bits on the wire.
struct ObjectIdentifier {
  static constexpr std::uint16_t kMaxType = 1023;
  static constexpr std::uint32_t kMaxInstance = 4194303;

  ObjectType object_type;
  std::uint32_t instance = 0;

  // ((type mod 1024) << 22) | (instance & 0x3FFFFF): out-of-range parts are
  // narrowed, so senders check encode_refusal first.
  std::uint32_t to_word() const noexcept {
    return (static_cast<std::uint32_t>(object_type.to_u16() & 0x3FFu) << 22) | (instance & 0x3FFFFFu);
  }
  static ObjectIdentifier from_word(std::uint32_t word) noexcept {
    return {ObjectType::from_u16(static_cast<std::uint16_t>(word >> 22)), word & 0x3FFFFFu};
  }

  friend bool operator==(const ObjectIdentifier&, const ObjectIdentifier&) = default;
};

struct DecodedValue;

// Octets kept on the heap only when there are any to keep: a value that has
// none costs one pointer (every decoded value's size grows with its largest
// alternative). Copies are deep; reads like std::optional.
class KeptOctets {
 public:
  KeptOctets() = default;
  KeptOctets(std::nullopt_t) {}  // NOLINT: implicit, like std::optional
  KeptOctets(std::vector<std::uint8_t> octets)  // NOLINT
      : octets_(std::make_unique<std::vector<std::uint8_t>>(std::move(octets))) {}
  KeptOctets(std::optional<std::vector<std::uint8_t>> octets) {  // NOLINT
    if (octets) octets_ = std::make_unique<std::vector<std::uint8_t>>(std::move(*octets));
  }
  KeptOctets(const KeptOctets& other) : KeptOctets(other ? KeptOctets(*other) : KeptOctets()) {}
  KeptOctets& operator=(const KeptOctets& other) {
    if (this != &other) *this = KeptOctets(other);
    return *this;
  }
  KeptOctets(KeptOctets&&) noexcept = default;
  KeptOctets& operator=(KeptOctets&&) noexcept = default;
  ~KeptOctets() = default;

  explicit operator bool() const noexcept { return octets_ != nullptr; }
  const std::vector<std::uint8_t>& operator*() const { return *octets_; }
  void reset() noexcept { octets_.reset(); }
  std::optional<std::vector<std::uint8_t>> to_optional() const {
    return octets_ ? std::optional(*octets_) : std::nullopt;
  }
  friend bool operator==(const KeptOctets& a, const KeptOctets& b) {
    return a ? (b && *a == *b) : !b;
  }

 private:
  std::unique_ptr<std::vector<std::uint8_t>> octets_;
};

// One BACnet application value. The alternatives and their order are fixed.
struct PropertyValue {
  struct Null {
    friend bool operator==(const Null&, const Null&) = default;
  };
  struct Boolean {
    bool value = false;
    friend bool operator==(const Boolean&, const Boolean&) = default;
  };
  struct Unsigned {
    std::uint32_t value = 0;
    friend bool operator==(const Unsigned&, const Unsigned&) = default;
  };
  struct Signed {
    std::int32_t value = 0;
    friend bool operator==(const Signed&, const Signed&) = default;
  };
  struct Real {
    float value = 0.0f;
    friend bool operator==(const Real&, const Real&) = default;
  };
  struct Double {
    double value = 0.0;
    friend bool operator==(const Double&, const Double&) = default;
  };
  struct OctetString {
    std::vector<std::uint8_t> value;
    friend bool operator==(const OctetString&, const OctetString&) = default;
  };
  struct CharacterString {
    std::string value;  // UTF-8
    std::uint8_t charset = 0;
    // The octets after the charset octet as received, kept only when `value`
    // cannot give them back (a set without decoder, invalid data); written
    // in place of `value`.
    KeptOctets raw{};
    friend bool operator==(const CharacterString&, const CharacterString&) = default;
  };
  struct BitString {
    std::uint8_t used_bits = 0;  // how many trailing bits of the last octet are not part of the string (0..7)
    std::vector<std::uint8_t> bits;
    friend bool operator==(const BitString&, const BitString&) = default;
  };
  struct Enumerated {
    std::uint32_t value = 0;
    friend bool operator==(const Enumerated&, const Enumerated&) = default;
  };
  // Any field may be unspecified (absent), which travels as 0xFF.
  struct Date {
    std::optional<std::uint16_t> year = 1900;  // full year; the wire carries 1900..2154
    std::optional<std::uint8_t> month = 1;     // 1..12, 13 = odd months, 14 = even months
    std::optional<std::uint8_t> day = 1;       // 1..31, 32 = last day, 33 = odd days, 34 = even days
    std::optional<std::uint8_t> weekday;       // 0 = Monday .. 6 = Sunday; 7 and above are sent as any day
    friend bool operator==(const Date&, const Date&) = default;
  };
  struct Time {
    std::optional<std::uint8_t> hour = 0;
    std::optional<std::uint8_t> minute = 0;
    std::optional<std::uint8_t> second = 0;
    std::optional<std::uint8_t> hundredths = 0;
    friend bool operator==(const Time&, const Time&) = default;
  };
  using ObjectIdentifier = ferromesh::ObjectIdentifier;
  struct Array {
    std::vector<PropertyValue> values;
    friend bool operator==(const Array&, const Array&);
  };
  struct Any {
    std::vector<std::uint8_t> octets;  // already encoded, written unchanged
    friend bool operator==(const Any&, const Any&) = default;
  };
  // Context-tagged primitive data: what it means depends on the property,
  // which the codec does not know, so it keeps the content octets.
  struct Context {
    std::uint8_t tag = 0;  // 0..254; from 15 on written in the extended form
    std::vector<std::uint8_t> data;
    friend bool operator==(const Context&, const Context&) = default;
  };
  // Everything between an opening and a closing tag, in order.
  struct Constructed {
    std::uint8_t tag = 0;  // 0..254
    std::vector<PropertyValue> values;
    friend bool operator==(const Constructed&, const Constructed&);
  };

  using Variant = std::variant<Null, Boolean, Unsigned, Signed, Real, Double, OctetString, CharacterString,
                               BitString, Enumerated, Date, Time, ObjectIdentifier, Array, Any, Context, Constructed>;

  Variant variant;

  // Appends the application-tagged encoding. Cannot fail: a value that
  // encode_refusal refuses is narrowed, so senders check it first.
  void encode_tag_and_value(Bytes& out) const;

  // Decodes one application-tagged value from the start of `data`; octets
  // after it are ignored. Never yields Array, Any, Context or Constructed
  // (codec/elements.hpp reads those).
  static Result<DecodedValue> decode(std::span<const std::uint8_t> data);

  friend bool operator==(const PropertyValue&, const PropertyValue&) = default;
};

inline bool operator==(const PropertyValue::Array& a, const PropertyValue::Array& b) { return a.values == b.values; }
inline bool operator==(const PropertyValue::Constructed& a, const PropertyValue::Constructed& b) {
  return a.tag == b.tag && a.values == b.values;
}

struct DecodedValue {
  PropertyValue value;
  std::size_t consumed = 0;  // octets taken, header included
};

// Why a value cannot go on the wire as given, e.g. "object identifier
// instance 4194304 is above 4194303"; nothing when it can. Refused: object
// identifier parts beyond 10 + 22 bits, Date years outside 1900..2154 and
// BitString unused-bits counts above 7. Arrays and constructed values are
// checked element by element; Any octets and context-tagged data are the
// caller's own encoding and are not looked into.
std::optional<std::string> encode_refusal(const ObjectIdentifier& id);
std::optional<std::string> encode_refusal(const PropertyValue& value);

}  // namespace ferromesh
