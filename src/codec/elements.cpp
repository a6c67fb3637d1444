#include "codec/elements.hpp"

#include <utility>

#include "codec/tag_length.hpp"

namespace ferromesh {

namespace {

constexpr std::uint8_t kClassContext = 0x08;
constexpr std::uint8_t kLvtMask = 0x07;
constexpr std::uint8_t kLvtOpening = 6;
constexpr std::uint8_t kLvtClosing = 7;
constexpr std::uint8_t kExtendedTagNumber = 15;
constexpr std::uint8_t kReservedTagNumber = 255;

constexpr bool is_closing_tag(std::uint8_t header) { return (header & 0x0F) == (kClassContext | kLvtClosing); }

enum class Kind : std::uint8_t { Primitive, Opening, Closing };

struct ContextHeader {
  std::uint8_t tag = 0;
  Kind kind = Kind::Primitive;
  std::uint32_t length = 0;  // primitive data only
};

// A context tag's header octet, extended tag number and extended length.
Result<ContextHeader> read_context_header(SpanReader& in) {
  const auto header = in.read_u8();
  if (!header) return DecodeError::IncompleteData;
  ContextHeader out;
  out.tag = static_cast<std::uint8_t>(*header >> 4);
  if (out.tag == kExtendedTagNumber) {
    const auto number = in.read_u8();
    if (!number) return DecodeError::IncompleteData;
    // Numbers below 15 have the short form; 255 is reserved.
    if (*number < kExtendedTagNumber || *number == kReservedTagNumber) return DecodeError::InvalidTagNumber;
    out.tag = *number;
  }
  const std::uint8_t lvt = *header & kLvtMask;
  if (lvt == kLvtOpening) {
    out.kind = Kind::Opening;
  } else if (lvt == kLvtClosing) {
    out.kind = Kind::Closing;
  } else {
    const auto length = read_content_length(*header, in);
    if (!length) return length.error();
    out.length = length.value();
  }
  return out;
}

Result<PropertyValue> read_at_depth(SpanReader& in, std::size_t depth);

Result<std::vector<PropertyValue>> read_until_closing(SpanReader& in, std::uint8_t tag, std::size_t depth) {
  std::vector<PropertyValue> values;
  for (;;) {
    const auto header = in.peek_u8();
    if (!header) return DecodeError::IncompleteData;
    if (is_closing_tag(*header)) {
      const auto closing = read_context_header(in);
      if (!closing) return closing.error();
      if (closing->tag != tag) return DecodeError::InvalidContextTag;
      return values;
    }
    auto element = read_at_depth(in, depth);
    if (!element) return element.error();
    values.push_back(std::move(element).value());
  }
}

// `depth` is the number of constructed values around this element.
Result<PropertyValue> read_at_depth(SpanReader& in, std::size_t depth) {
  const auto header = in.peek_u8();
  if (!header) return DecodeError::IncompleteData;
  if ((*header & kClassContext) == 0) {
    auto decoded = PropertyValue::decode(in.rest());
    if (!decoded) return decoded.error();
    in.skip(decoded->consumed);
    return std::move(decoded->value);
  }
  const auto tag = read_context_header(in);
  if (!tag) return tag.error();
  switch (tag->kind) {
    case Kind::Primitive: {
      const auto data = in.read_bytes(tag->length);
      if (!data) return DecodeError::IncompleteData;
      return PropertyValue{PropertyValue::Context{tag->tag, {data->begin(), data->end()}}};
    }
    case Kind::Opening: {
      if (depth >= kMaxNesting) return DecodeError::InvalidData;
      auto values = read_until_closing(in, tag->tag, depth + 1);
      if (!values) return values.error();
      return PropertyValue{PropertyValue::Constructed{tag->tag, std::move(values).value()}};
    }
    case Kind::Closing: break;
  }
  return DecodeError::InvalidContextTag;
}

}  // namespace

Result<PropertyValue> read_element(SpanReader& in) { return read_at_depth(in, 0); }

Result<std::vector<PropertyValue>> read_elements(SpanReader& in, std::uint8_t tag) {
  return read_until_closing(in, tag, 0);
}

Result<DecodedValue> decode_element(ByteSpan data) {
  SpanReader in(data);
  auto element = read_element(in);
  if (!element) return element.error();
  return DecodedValue{std::move(element).value(), in.position()};
}

Result<PropertyValue> decode_context_as(const PropertyValue::Context& value, std::uint8_t application_tag) {
  constexpr std::uint8_t kBoolean = 1;
  constexpr std::uint8_t kLastApplicationTag = 12;
  if (application_tag > kLastApplicationTag) return DecodeError::UnsupportedApplicationTag;
  // An application Boolean holds its value in the header; a context one in a content octet.
  if (application_tag == kBoolean) {
    if (value.data.size() != 1 || value.data[0] > 1) return DecodeError::InvalidData;
    return PropertyValue{PropertyValue::Boolean{value.data[0] == 1}};
  }
  Bytes application;
  append_application_header(application, application_tag, value.data.size());
  append_bytes(application, value.data);
  auto decoded = PropertyValue::decode(application);
  if (!decoded) return decoded.error();
  if (decoded->consumed != application.size()) return DecodeError::InvalidData;
  return std::move(decoded->value);
}

void encode_context(const PropertyValue::Context& value, Bytes& out) {
  append_context_header(out, value.tag, value.data.size());
  append_bytes(out, value.data);
}

void encode_constructed(const PropertyValue::Constructed& value, Bytes& out) {
  append_opening_tag(out, value.tag);
  for (const PropertyValue& element : value.values) element.encode_tag_and_value(out);
  append_closing_tag(out, value.tag);
}

}  // namespace ferromesh
