#include "codec/utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace ferromesh {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

struct Lead {
  std::size_t length;       // whole sequence, lead octet included
  std::uint8_t second_min;  // the second octet's range excludes overlong
  std::uint8_t second_max;  // forms, surrogates and numbers above U+10FFFF
};

// Nothing for octets that cannot start a sequence.
constexpr std::optional<Lead> lead_of(std::uint8_t b) {
  if (b < 0x80) return Lead{1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return Lead{2, 0x80, 0xBF};
  if (b == 0xE0) return Lead{3, 0xA0, 0xBF};
  if (b == 0xED) return Lead{3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return Lead{3, 0x80, 0xBF};
  if (b == 0xF0) return Lead{4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return Lead{4, 0x80, 0xBF};
  if (b == 0xF4) return Lead{4, 0x80, 0x8F};
  return std::nullopt;
}

// Takes the continuation octets of `lead` one at a time and stops at the
// first that does not fit, leaving it for the next sequence: what was taken
// up to there is one maximal ill-formed subpart.
bool take_continuations(const Lead& lead, SpanReader& reader) {
  for (std::size_t n = 1; n < lead.length; ++n) {
    const auto next = reader.peek_u8();
    const std::uint8_t min = n == 1 ? lead.second_min : std::uint8_t{0x80};
    const std::uint8_t max = n == 1 ? lead.second_max : std::uint8_t{0xBF};
    if (!next || *next < min || *next > max) return false;
    reader.skip(1);
  }
  return true;
}

}  // namespace

std::string decode_utf8_lossy(ByteSpan octets) {
  std::string text;
  text.reserve(octets.size());
  SpanReader reader(octets);
  while (const auto first = reader.read_u8()) {
    const std::size_t start = reader.position() - 1;
    const auto lead = lead_of(*first);
    const bool valid = lead && take_continuations(*lead, reader);
    if (valid) {
      const ByteSpan sequence = octets.subspan(start, reader.position() - start);
      text.append(reinterpret_cast<const char*>(sequence.data()), sequence.size());
    } else {
      text += kReplacement;
    }
  }
  return text;
}

}  // namespace ferromesh
