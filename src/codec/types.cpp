#include "codec/types.hpp"

#include <algorithm>
#include <bit>

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
constexpr std::uint8_t kUnspecified = 0xFF;  // date field wildcard
constexpr std::uint16_t kFirstYear = 1900;
constexpr std::uint16_t kLastYear = 1900 + 254;  // 255 would be the wildcard
// Weekdays from here on have no wire form of their own and go out as any day.
constexpr std::uint8_t kFirstWeekdayWithoutWireForm = 7;

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

std::uint8_t wire_year(std::uint16_t year) {
  return static_cast<std::uint8_t>(std::clamp(year, kFirstYear, kLastYear) - kFirstYear);
}

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
    append_u8(out, v.month);
    append_u8(out, v.day);
    append_u8(out, wire_weekday(v.weekday));
  }
  void operator()(const PropertyValue::Time& v) const {
    append_application_header(out, kTagTime, 4);
    append_u8(out, v.hour);
    append_u8(out, v.minute);
    append_u8(out, v.second);
    append_u8(out, v.hundredths);
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

ValueResult read_real(SpanReader& reader) {
  const auto word = reader.read_u32_be();
  if (!word) return DecodeError::IncompleteData;
  return PropertyValue{PropertyValue::Real{std::bit_cast<float>(*word)}};
}

ValueResult read_double(std::uint8_t header, SpanReader& reader) {
  const auto length = read_content_length(header, reader);
  if (!length) return length.error();
  if (length.value() != 8) return DecodeError::InvalidData;
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

ValueResult read_date(SpanReader& reader) {
  const auto year = reader.read_u8();
  const auto month = reader.read_u8();
  const auto day = reader.read_u8();
  const auto weekday = reader.read_u8();
  if (!year || !month || !day || !weekday) return DecodeError::IncompleteData;
  if (*year == kUnspecified || *month < 1 || *month > 12 || *day < 1 || *day > 31) return DecodeError::InvalidDate;
  PropertyValue::Date date{static_cast<std::uint16_t>(kFirstYear + *year), *month, *day, std::nullopt};
  if (*weekday >= 1 && *weekday <= 7) date.weekday = static_cast<std::uint8_t>(*weekday - 1);
  return PropertyValue{date};
}

ValueResult read_time(SpanReader& reader) {
  const auto hour = reader.read_u8();
  const auto minute = reader.read_u8();
  const auto second = reader.read_u8();
  const auto hundredths = reader.read_u8();
  if (!hour || !minute || !second || !hundredths) return DecodeError::IncompleteData;
  if (*hour > 23 || *minute > 59 || *second > 59 || *hundredths > 99) return DecodeError::InvalidTime;
  return PropertyValue{PropertyValue::Time{*hour, *minute, *second, *hundredths}};
}

ValueResult read_object_identifier(SpanReader& reader) {
  const auto word = reader.read_u32_be();
  if (!word) return DecodeError::IncompleteData;
  return PropertyValue{ObjectIdentifier::from_word(*word)};
}

ValueResult read_value(std::uint8_t header, SpanReader& reader) {
  switch (header >> 4) {
    case kTagNull: return PropertyValue{PropertyValue::Null{}};
    case kTagBoolean: return read_boolean(header);
    case kTagUnsigned: return read_unsigned<PropertyValue::Unsigned>(header, reader);
    case kTagSigned: return read_signed(header, reader);
    case kTagReal: return read_real(reader);
    case kTagDouble: return read_double(header, reader);
    case kTagOctetString: return read_octet_string(header, reader);
    case kTagCharacterString: return read_character_string(header, reader);
    case kTagBitString: return read_bit_string(header, reader);
    case kTagEnumerated: return read_unsigned<PropertyValue::Enumerated>(header, reader);
    case kTagDate: return read_date(reader);
    case kTagTime: return read_time(reader);
    case kTagObjectIdentifier: return read_object_identifier(reader);
    default: return DecodeError::UnsupportedApplicationTag;
  }
}

}  // namespace

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
