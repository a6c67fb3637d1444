#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "codec/span_reader.hpp"
#include "codec/types.hpp"

// The elements of a property value as a lossless tree: application-tagged
// values, context-tagged primitive data (PropertyValue::Context) and
// constructed data between opening and closing tags
// (PropertyValue::Constructed). What an element means depends on the
// property, which the codec does not know; the tree keeps what is needed to
// write the value back octet for octet.
namespace ferromesh {

// Constructed data nests at most this deep; deeper is InvalidData, so that
// hostile input cannot exhaust the stack.
inline constexpr std::size_t kMaxNesting = 32;

// One element at the reader, which then stands after it. A closing tag is
// InvalidContextTag (it closes nothing this element opened); an opening tag
// whose closing tag differs is InvalidContextTag too; a tag number below 15
// in the extended form or 255 is InvalidTagNumber.
Result<PropertyValue> read_element(SpanReader& in);

// Elements up to and including the closing tag `tag`, which must come.
Result<std::vector<PropertyValue>> read_elements(SpanReader& in, std::uint8_t tag);

// One element from the start of `data` and the octets it took.
Result<DecodedValue> decode_element(ByteSpan data);

// The content of context-tagged data read as application tag
// `application_tag` (0..12) would be: a time stamp's time, a log record's
// real value. The content must be exactly one such value; a Boolean is one
// octet, 0 or 1 (InvalidData otherwise).
Result<PropertyValue> decode_context_as(const PropertyValue::Context& value, std::uint8_t application_tag);

void encode_context(const PropertyValue::Context& value, Bytes& out);
void encode_constructed(const PropertyValue::Constructed& value, Bytes& out);

}  // namespace ferromesh
