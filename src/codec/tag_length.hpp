#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "codec/span_reader.hpp"

namespace ferromesh {

// The length field of an application tag. Up to 4 octets of content the
// length is the LVT itself; longer contents have LVT 5 and an extended length:
// one octet up to 253, 254 and two octets, or 255 and four octets.

// Header octet of application tag `tag` and the length field for `length`
// content octets (the extended form only from 5 octets on).
void append_application_header(Bytes& out, std::uint8_t tag, std::size_t length);

// Header of context tag `tag` (0..254; from 15 on the tag number follows the
// header octet) for primitive data of `length` octets.
void append_context_header(Bytes& out, std::uint8_t tag, std::size_t length);

// Opening and closing tags (0..254) around constructed data.
void append_opening_tag(Bytes& out, std::uint8_t tag);
void append_closing_tag(Bytes& out, std::uint8_t tag);

// Content length of an application tag whose header octet has just been read.
// LVT 6 and 7 are no lengths on an application tag: InvalidData. Does not
// check that the content itself is present.
Result<std::uint32_t> read_content_length(std::uint8_t header, SpanReader& reader);

// Big-endian unsigned content of `length` octets (0 reads as 0). More than
// four octets is InvalidData rather than a truncated number.
Result<std::uint32_t> read_unsigned_content(std::uint32_t length, SpanReader& reader);

}  // namespace ferromesh
