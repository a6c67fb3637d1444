#include "codec/charset.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/utf8.hpp"

namespace ferromesh::charset {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kLastCodePoint = 0x10FFFF;

constexpr bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
constexpr bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf8(std::string& out, char32_t cp) {
  auto put = [&out](char32_t v) { out.push_back(static_cast<char>(static_cast<std::uint8_t>(v))); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

// The code points of valid UTF-8.
std::vector<char32_t> code_points(std::string_view utf8) {
  std::vector<char32_t> out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<std::uint8_t>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3Fu);
    }
    out.push_back(cp);
    i += length;
  }
  return out;
}

// Code points of text that may not be valid UTF-8 (only engine values built
// in C++ can be): ill-formed parts count as U+FFFD.
std::vector<char32_t> code_points_lossy(std::string_view text) {
  const ByteSpan octets(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return code_points(decode_utf8_lossy(octets));
}

DecodedText keep_raw(std::string text, ByteSpan octets) {
  return DecodedText{std::move(text), Bytes(octets.begin(), octets.end())};
}

DecodedText decode_utf8(ByteSpan octets) {
  bool replaced = false;
  std::string text = decode_utf8_lossy(octets, replaced);
  // Valid UTF-8 comes back octet for octet; anything else was repaired.
  if (!replaced) return DecodedText{std::move(text), std::nullopt};
  return keep_raw(std::move(text), octets);
}

DecodedText decode_iso8859_1(ByteSpan octets) {
  std::string text;
  text.reserve(octets.size());
  for (std::uint8_t b : octets) append_utf8(text, b);  // each octet is its own code point
  return DecodedText{std::move(text), std::nullopt};
}

Result<DecodedText> decode_ucs2(ByteSpan octets) {
  if (octets.size() % 2 != 0) return DecodeError::InvalidData;
  std::string text;
  text.reserve(octets.size());
  bool exact = true;
  for (std::size_t i = 0; i < octets.size(); i += 2) {
    const std::uint32_t unit = std::uint32_t{octets[i]} << 8 | octets[i + 1];
    if (!is_surrogate(unit)) {
      append_utf8(text, unit);
      continue;
    }
    const std::size_t next = i + 2;
    const std::uint32_t low = next + 1 < octets.size() ? (std::uint32_t{octets[next]} << 8 | octets[next + 1]) : 0;
    if (is_high_surrogate(unit) && is_low_surrogate(low)) {
      append_utf8(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      i = next;
    } else {
      append_utf8(text, kReplacement);
      exact = false;
    }
  }
  if (exact) return DecodedText{std::move(text), std::nullopt};
  return keep_raw(std::move(text), octets);
}

Result<DecodedText> decode_ucs4(ByteSpan octets) {
  if (octets.size() % 4 != 0) return DecodeError::InvalidData;
  std::string text;
  text.reserve(octets.size());
  bool exact = true;
  for (std::size_t i = 0; i < octets.size(); i += 4) {
    const char32_t cp = char32_t{octets[i]} << 24 | char32_t{octets[i + 1]} << 16 | char32_t{octets[i + 2]} << 8 |
                        octets[i + 3];
    const bool valid = cp <= kLastCodePoint && !is_surrogate(cp);
    append_utf8(text, valid ? cp : kReplacement);
    exact = exact && valid;
  }
  if (exact) return DecodedText{std::move(text), std::nullopt};
  return keep_raw(std::move(text), octets);
}

// Sets without a decoder here: ASCII stays readable, the rest is replaced.
DecodedText decode_unknown(std::uint8_t charset, ByteSpan octets) {
  std::string text;
  text.reserve(octets.size());
  // JIS X 0208 is a double-octet set throughout: one character per pair.
  const std::size_t step = charset == kJisX0208 ? 2 : 1;
  for (std::size_t i = 0; i < octets.size(); i += step) {
    if (step == 1 && octets[i] < 0x80) {
      text.push_back(static_cast<char>(octets[i]));
    } else {
      append_utf8(text, kReplacement);
    }
  }
  return keep_raw(std::move(text), octets);
}

void append_u16(Bytes& out, char32_t unit) { append_u16_be(out, static_cast<std::uint16_t>(unit)); }

}  // namespace

Result<DecodedText> decode(std::uint8_t charset, ByteSpan octets) {
  switch (charset) {
    case kUtf8: return decode_utf8(octets);
    case kUcs4: return decode_ucs4(octets);
    case kUcs2: return decode_ucs2(octets);
    case kIso8859_1: return decode_iso8859_1(octets);
    default: return decode_unknown(charset, octets);
  }
}

bool can_encode(std::uint8_t charset, std::string_view utf8) {
  switch (charset) {
    case kUtf8:
    case kUcs4:
    case kUcs2: return true;
    case kIso8859_1: {
      const auto points = code_points(utf8);
      return std::all_of(points.begin(), points.end(), [](char32_t cp) { return cp <= 0xFF; });
    }
    default: return false;
  }
}

void encode(std::uint8_t charset, std::string_view utf8, Bytes& out) {
  switch (charset) {
    case kUcs4:
      for (char32_t cp : code_points_lossy(utf8)) append_u32_be(out, cp);
      return;
    case kUcs2:
      for (char32_t cp : code_points_lossy(utf8)) {
        if (cp < 0x10000) {
          append_u16(out, cp);
        } else {
          append_u16(out, 0xD800 + ((cp - 0x10000) >> 10));
          append_u16(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
      }
      return;
    case kIso8859_1:
      for (char32_t cp : code_points_lossy(utf8)) append_u8(out, cp <= 0xFF ? static_cast<std::uint8_t>(cp) : '?');
      return;
    default:
      out.insert(out.end(), utf8.begin(), utf8.end());
      return;
  }
}

}  // namespace ferromesh::charset
