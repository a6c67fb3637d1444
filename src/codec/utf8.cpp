#include "codec/utf8.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace ferromesh {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

constexpr bool is_non_ascii(std::uint8_t b) { return b >= 0x80; }

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
  bool replaced = false;
  return decode_utf8_lossy(octets, replaced);
}

std::string decode_utf8_lossy(ByteSpan octets, bool& replaced) {
  replaced = false;
  std::string text;
  text.reserve(octets.size());
  SpanReader reader(octets);
  // Valid octets are copied in runs, not one sequence at a time: most texts
  // are valid throughout and are then copied once.
  std::size_t run_start = 0;
  auto flush_run = [&](std::size_t end) {
    const ByteSpan run = octets.subspan(run_start, end - run_start);
    text.append(reinterpret_cast<const char*>(run.data()), run.size());
  };
  while (!reader.empty()) {
    const ByteSpan rest = reader.rest();
    reader.skip(static_cast<std::size_t>(std::find_if(rest.begin(), rest.end(), is_non_ascii) - rest.begin()));
    const std::size_t start = reader.position();
    const auto first = reader.read_u8();
    if (!first) break;
    const auto lead = lead_of(*first);
    if (lead && take_continuations(*lead, reader)) continue;
    flush_run(start);
    text += kReplacement;
    replaced = true;
    run_start = reader.position();
  }
  flush_run(octets.size());
  return text;
}

}  // namespace ferromesh
