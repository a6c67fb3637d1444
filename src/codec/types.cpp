#include "codec/types.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "codec/charset.hpp"
#include "codec/elements.hpp"
#include "codec/span_reader.hpp"
#include "codec/tag_length.hpp"
#include "codec/utf8.hpp"

namespace ferromesh {

namespace {

enum Tag : std::uint8_t {
  kTagNull = 0,
  kTagBoolean = 1,
  kTagUnsigned = 2,
  kTagSigned = 3,
  kTagReal = 4,
  kTagDouble = 5,
  kTagOctetString = 6,
  kTagCharacterString = 7,
  kTagBitString = 8,
  kTagEnumerated = 9,
  kTagDate = 10,
  kTagTime = 11,
  kTagObjectIdentifier = 12,
};

constexpr std::uint8_t kClassContext = 0x08;
constexpr std::uint8_t kUnspecified = 0xFF;  // date and time field wildcard
constexpr std::uint16_t kFirstYear = 1900;
constexpr std::uint16_t kLastYear = 1900 + 254;  // 255 would be the wildcard
// Weekdays from here on have no wire form of their own and go out as any day.
constexpr std::uint8_t kFirstWeekdayWithoutWireForm = 7;
// Besides 1..12 and 1..31: odd and even months; last day, odd and even days.
constexpr std::uint8_t kLastMonthNumber = 14;
constexpr std::uint8_t kLastDayNumber = 34;
constexpr std::uint8_t kLargestUsedBits = 7;
// Content lengths of the fixed-size values.
constexpr std::uint32_t kFourOctets = 4;
constexpr std::uint32_t kEightOctets = 8;

void append_unsigned(Bytes& out, std::uint8_t tag, std::uint32_t value) {
  const std::size_t n = minimal_octets(value);
  append_application_header(out, tag, n);
  append_uint_be(out, value, n);
}

// Non-negative values take the shortest form that keeps the sign bit clear;
// negative ones take 3 or 4 octets.
std::size_t signed_octets(std::int32_t v) {
  if (v >= 0 && v <= 0x7F) return 1;
  if (v >= 0 && v <= 0x7FFF) return 2;
  if (v >= -0x800000 && v <= 0x7FFFFF) return 3;
  return 4;
}

// Years outside the wire's range are refused by encode_refusal; clamped here
// only so that the encoder stays total.
std::uint8_t wire_year(std::optional<std::uint16_t> year) {
  if (!year) return kUnspecified;
  return static_cast<std::uint8_t>(std::clamp(*year, kFirstYear, kLastYear) - kFirstYear);
}

std::uint8_t wire_field(std::optional<std::uint8_t> field) { return field.value_or(kUnspecified); }

// 0 = Monday .. 6 = Sunday travels as 1..7; anything else as unspecified.
std::uint8_t wire_weekday(std::optional<std::uint8_t> weekday) {
  if (!weekday || *weekday >= kFirstWeekdayWithoutWireForm) return kUnspecified;
  return static_cast<std::uint8_t>(*weekday + 1);
}

struct Encoder {
  Bytes& out;

  void operator()(const PropertyValue::Null&) const { append_u8(out, kTagNull << 4); }
  void operator()(const PropertyValue::Boolean& v) const {
    // The value travels in the LVT; there is no content octet.
    append_u8(out, static_cast<std::uint8_t>(kTagBoolean << 4 | (v.value ? 1 : 0)));
  }
  void operator()(const PropertyValue::Unsigned& v) const { append_unsigned(out, kTagUnsigned, v.value); }
  void operator()(const PropertyValue::Signed& v) const {
    const std::size_t n = signed_octets(v.value);
    append_application_header(out, kTagSigned, n);
    append_uint_be(out, static_cast<std::uint32_t>(v.value), n);
  }
  void operator()(const PropertyValue::Real& v) const {
    append_application_header(out, kTagReal, 4);
    append_u32_be(out, std::bit_cast<std::uint32_t>(v.value));
  }
  void operator()(const PropertyValue::Double& v) const {
    append_application_header(out, kTagDouble, 8);
    append_uint_be(out, std::bit_cast<std::uint64_t>(v.value), 8);
  }
  void operator()(const PropertyValue::OctetString& v) const {
    append_application_header(out, kTagOctetString, v.value.size());
    append_bytes(out, v.value);
  }
  void operator()(const PropertyValue::CharacterString& v) const {
    if (v.charset == charset::kUtf8 && !v.raw) {
      append_application_header(out, kTagCharacterString, v.value.size() + 1);
      append_u8(out, v.charset);
      out.insert(out.end(), v.value.begin(), v.value.end());
      return;
    }
    Bytes content;
    if (v.raw) {
      content = *v.raw;
    } else {
      charset::encode(v.charset, v.value, content);
    }
    append_application_header(out, kTagCharacterString, content.size() + 1);
    append_u8(out, v.charset);
    append_bytes(out, content);
  }
  void operator()(const PropertyValue::BitString& v) const {
    append_application_header(out, kTagBitString, v.bits.size() + 1);
    append_u8(out, v.used_bits);
    append_bytes(out, v.bits);
  }
  void operator()(const PropertyValue::Enumerated& v) const { append_unsigned(out, kTagEnumerated, v.value); }
  void operator()(const PropertyValue::Date& v) const {
    append_application_header(out, kTagDate, 4);
    append_u8(out, wire_year(v.year));
    append_u8(out, wire_field(v.month));
    append_u8(out, wire_field(v.day));
    append_u8(out, wire_weekday(v.weekday));
  }
  void operator()(const PropertyValue::Time& v) const {
    append_application_header(out, kTagTime, 4);
    append_u8(out, wire_field(v.hour));
    append_u8(out, wire_field(v.minute));
    append_u8(out, wire_field(v.second));
    append_u8(out, wire_field(v.hundredths));
  }
  void operator()(const ObjectIdentifier& v) const {
    append_application_header(out, kTagObjectIdentifier, 4);
    append_u32_be(out, v.to_word());
  }
  void operator()(const PropertyValue::Array& v) const {
    for (const PropertyValue& element : v.values) element.encode_tag_and_value(out);
  }
  void operator()(const PropertyValue::Any& v) const { append_bytes(out, v.octets); }
  void operator()(const PropertyValue::Context& v) const { encode_context(v, out); }
  void operator()(const PropertyValue::Constructed& v) const { encode_constructed(v, out); }
};

// Each reader gets the header octet and a reader positioned after it, and
// leaves the reader after the value.
using ValueResult = Result<PropertyValue>;

ValueResult read_boolean(std::uint8_t header) {
  // The value is the LVT itself; there is no content octet.
  const std::uint8_t lvt = header & 0x07;
  if (lvt > 1) return DecodeError::InvalidData;
  return PropertyValue{PropertyValue::Boolean{lvt == 1}};
}

template <class Variant>
ValueResult read_unsigned(std::uint8_t header, SpanReader& reader) {
  const auto length = read_content_length(header, reader);
  if (!length) return length.error();
  const auto value = read_unsigned_content(length.value(), reader);
  if (!value) return value.error();
  return PropertyValue{Variant{value.value()}};
}

ValueResult read_signed(std::uint8_t header, SpanReader& reader) {
  const auto length = read_content_length(header, reader);
  if (!length) return length.error();
  const auto raw = read_unsigned_content(length.value(), reader);
  if (!raw) return raw.error();
  if (length.value() == 0) return PropertyValue{PropertyValue::Signed{0}};
  // Move the content's sign bit to bit 31, then shift back arithmetically.
  const int unused_bits = 32 - 8 * static_cast<int>(length.value());
  const auto value = static_cast<std::int32_t>(raw.value() << unused_bits) >> unused_bits;
  return PropertyValue{PropertyValue::Signed{value}};
}

// A fixed-size value's length field must give exactly its size: any other
// length is a misframed value, never a cue to read a different amount.
std::optional<DecodeError> expect_length(std::uint8_t header, SpanReader& reader, std::uint32_t size) {
  const auto length = read_content_length(header, reader);
  if (!length) return length.error();
  if (length.value() != size) return DecodeError::InvalidData;
  return std::nullopt;
}

ValueResult read_null(std::uint8_t header, SpanReader& reader) {
  if (const auto error = expect_length(header, reader, 0)) return *error;
  return PropertyValue{PropertyValue::Null{}};
}

ValueResult read_real(std::uint8_t header, SpanReader& reader) {
  if (const auto error = expect_length(header, reader, kFourOctets)) return *error;
  const auto word = reader.read_u32_be();
  if (!word) return DecodeError::IncompleteData;
  return PropertyValue{PropertyValue::Real{std::bit_cast<float>(*word)}};
}

ValueResult read_double(std::uint8_t header, SpanReader& reader) {
  if (const auto error = expect_length(header, reader, kEightOctets)) return *error;
  const auto word = reader.read_u64_be();
  if (!word) return DecodeError::IncompleteData;
  return PropertyValue{PropertyValue::Double{std::bit_cast<double>(*word)}};
}

// The whole content of a variable-length tag.
Result<ByteSpan> read_content(std::uint8_t header, SpanReader& reader) {
  const auto length = read_content_length(header, reader);
  if (!length) return length.error();
  const auto content = reader.read_bytes(length.value());
  if (!content) return DecodeError::IncompleteData;
  return content.value();
}

ValueResult read_octet_string(std::uint8_t header, SpanReader& reader) {
  const auto content = read_content(header, reader);
  if (!content) return content.error();
  return PropertyValue{PropertyValue::OctetString{{content->begin(), content->end()}}};
}

ValueResult read_character_string(std::uint8_t header, SpanReader& reader) {
  const auto content = read_content(header, reader);
  if (!content) return content.error();
  // Without content there is no charset octet either: empty text.
  if (content->empty()) return PropertyValue{PropertyValue::CharacterString{}};
  if (content->front() == charset::kUtf8) {
    // Nearly every text: valid UTF-8, taken as it is.
    bool replaced = false;
    std::string text = decode_utf8_lossy(content->subspan(1), replaced);
    if (!replaced) return PropertyValue{PropertyValue::CharacterString{std::move(text), charset::kUtf8}};
  }
  auto text = charset::decode(content->front(), content->subspan(1));
  if (!text) return text.error();
  return PropertyValue{
      PropertyValue::CharacterString{std::move(text->text), content->front(), std::move(text->raw)}};
}

ValueResult read_bit_string(std::uint8_t header, SpanReader& reader) {
  const auto content = read_content(header, reader);
  if (!content) return content.error();
  // The unused-bits octet is mandatory.
  if (content->empty()) return DecodeError::InvalidData;
  const ByteSpan bits = content->subspan(1);
  return PropertyValue{PropertyValue::BitString{content->front(), {bits.begin(), bits.end()}}};
}

// A date or time field: 0xFF is unspecified, else `first`..`last`.
bool read_field(std::uint8_t octet, std::uint8_t first, std::uint8_t last, std::optional<std::uint8_t>& out) {
  if (octet == kUnspecified) {
    out.reset();
    return true;
  }
  out = octet;
  return octet >= first && octet <= last;
}

ValueResult read_date(std::uint8_t header, SpanReader& reader) {
  if (const auto error = expect_length(header, reader, kFourOctets)) return *error;
  const auto year = reader.read_u8();
  const auto month = reader.read_u8();
  const auto day = reader.read_u8();
  const auto weekday = reader.read_u8();
  if (!year || !month || !day || !weekday) return DecodeError::IncompleteData;
  PropertyValue::Date date{std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  if (*year != kUnspecified) date.year = static_cast<std::uint16_t>(kFirstYear + *year);
  if (!read_field(*month, 1, kLastMonthNumber, date.month) || !read_field(*day, 1, kLastDayNumber, date.day)) {
    return DecodeError::InvalidDate;
  }
  if (*weekday >= 1 && *weekday <= 7) date.weekday = static_cast<std::uint8_t>(*weekday - 1);
  return PropertyValue{date};
}

ValueResult read_time(std::uint8_t header, SpanReader& reader) {
  if (const auto error = expect_length(header, reader, kFourOctets)) return *error;
  const auto hour = reader.read_u8();
  const auto minute = reader.read_u8();
  const auto second = reader.read_u8();
  const auto hundredths = reader.read_u8();
  if (!hour || !minute || !second || !hundredths) return DecodeError::IncompleteData;
  PropertyValue::Time time;
  if (!read_field(*hour, 0, 23, time.hour) || !read_field(*minute, 0, 59, time.minute) ||
      !read_field(*second, 0, 59, time.second) || !read_field(*hundredths, 0, 99, time.hundredths)) {
    return DecodeError::InvalidTime;
  }
  return PropertyValue{time};
}

ValueResult read_object_identifier(std::uint8_t header, SpanReader& reader) {
  if (const auto error = expect_length(header, reader, kFourOctets)) return *error;
  const auto word = reader.read_u32_be();
  if (!word) return DecodeError::IncompleteData;
  return PropertyValue{ObjectIdentifier::from_word(*word)};
}

ValueResult read_value(std::uint8_t header, SpanReader& reader) {
  switch (header >> 4) {
    case kTagNull: return read_null(header, reader);
    case kTagBoolean: return read_boolean(header);
    case kTagUnsigned: return read_unsigned<PropertyValue::Unsigned>(header, reader);
    case kTagSigned: return read_signed(header, reader);
    case kTagReal: return read_real(header, reader);
    case kTagDouble: return read_double(header, reader);
    case kTagOctetString: return read_octet_string(header, reader);
    case kTagCharacterString: return read_character_string(header, reader);
    case kTagBitString: return read_bit_string(header, reader);
    case kTagEnumerated: return read_unsigned<PropertyValue::Enumerated>(header, reader);
    case kTagDate: return read_date(header, reader);
    case kTagTime: return read_time(header, reader);
    case kTagObjectIdentifier: return read_object_identifier(header, reader);
    default: return DecodeError::UnsupportedApplicationTag;
  }
}

struct Refusal {
  std::optional<std::string> operator()(const ObjectIdentifier& id) const { return encode_refusal(id); }
  std::optional<std::string> operator()(const PropertyValue::Date& date) const {
    if (!date.year || (*date.year >= kFirstYear && *date.year <= kLastYear)) return std::nullopt;
    return "date year " + std::to_string(*date.year) + " is outside " + std::to_string(kFirstYear) + ".." +
           std::to_string(kLastYear);
  }
  std::optional<std::string> operator()(const PropertyValue::BitString& bits) const {
    if (bits.used_bits <= kLargestUsedBits) return std::nullopt;
    return "bit string unused-bits count " + std::to_string(bits.used_bits) + " is above " +
           std::to_string(kLargestUsedBits);
  }
  std::optional<std::string> operator()(const PropertyValue::Array& array) const { return first_of(array.values); }
  std::optional<std::string> operator()(const PropertyValue::Constructed& constructed) const {
    return first_of(constructed.values);
  }
  static std::optional<std::string> first_of(const std::vector<PropertyValue>& values) {
    for (const PropertyValue& element : values) {
      if (auto reason = encode_refusal(element)) return reason;
    }
    return std::nullopt;
  }
  // The other variants carry every value they can hold.
  template <class Other>
  std::optional<std::string> operator()(const Other&) const {
    return std::nullopt;
  }
};

}  // namespace

std::optional<std::string> encode_refusal(const ObjectIdentifier& id) {
  const std::uint16_t type = id.object_type.to_u16();
  if (type > ObjectIdentifier::kMaxType) {
    return "object identifier type " + std::to_string(type) + " is above " +
           std::to_string(ObjectIdentifier::kMaxType);
  }
  if (id.instance > ObjectIdentifier::kMaxInstance) {
    return "object identifier instance " + std::to_string(id.instance) + " is above " +
           std::to_string(ObjectIdentifier::kMaxInstance);
  }
  return std::nullopt;
}

std::optional<std::string> encode_refusal(const PropertyValue& value) { return std::visit(Refusal{}, value.variant); }

void PropertyValue::encode_tag_and_value(Bytes& out) const { std::visit(Encoder{out}, variant); }

Result<DecodedValue> PropertyValue::decode(std::span<const std::uint8_t> data) {
  SpanReader reader(data);
  const auto header = reader.read_u8();
  if (!header) return DecodeError::IncompleteData;
  if (*header & kClassContext) return DecodeError::InvalidContextTag;
  auto value = read_value(*header, reader);
  if (!value) return value.error();
  return DecodedValue{std::move(value).value(), reader.position()};
}

}  // namespace ferromesh
