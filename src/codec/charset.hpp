#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/byte_writer.hpp"
#include "codec/result.hpp"
#include "codec/span_reader.hpp"

// CharacterString contents in the character sets a device may announce.
namespace ferromesh::charset {

inline constexpr std::uint8_t kUtf8 = 0;
inline constexpr std::uint8_t kDbcs = 1;
inline constexpr std::uint8_t kJisX0208 = 2;
inline constexpr std::uint8_t kUcs4 = 3;   // big-endian
inline constexpr std::uint8_t kUcs2 = 4;   // big-endian; surrogate pairs read and written as UTF-16
inline constexpr std::uint8_t kIso8859_1 = 5;

struct DecodedText {
  std::string text;                // UTF-8, U+FFFD where the octets could not be decoded
  std::optional<Bytes> raw;        // the octets themselves when `text` cannot give them back
};

// The octets after the character-set octet. UCS-2 with an odd count or UCS-4
// with a count that is no multiple of four is InvalidData. Sets without a
// decoder here (DBCS, JIS X 0208, unknown numbers) keep ASCII and stand
// U+FFFD for everything else, with the octets in `raw`.
Result<DecodedText> decode(std::uint8_t charset, ByteSpan octets);

// Whether `utf8` (valid UTF-8) can be written in `charset` without loss:
// always for UTF-8, UCS-2 and UCS-4; up to U+00FF for ISO 8859-1; never for
// the sets without an encoder.
bool can_encode(std::uint8_t charset, std::string_view utf8);

// Appends `utf8` written in `charset`. Characters the set cannot hold become
// '?', and sets without an encoder get the UTF-8 octets: callers that must
// not lose text check can_encode first.
void encode(std::uint8_t charset, std::string_view utf8, Bytes& out);

}  // namespace ferromesh::charset
