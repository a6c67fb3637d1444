#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/charset.hpp"
#include "codec/elements.hpp"
#include "codec/types.hpp"

// Builds property values from fuzz input for the encoder-side round trips.
namespace ferromesh::fuzz {

struct BuiltValue {
  PropertyValue value;
  // Whether decoding the encoding must give back exactly `value`. False for
  // values the wire cannot carry unchanged (a Date outside 1900..2154, an
  // object type above 1023, text that is not UTF-8, ...): those only need to
  // encode and decode without harm.
  bool exact = true;
  // Whether encode_refusal must refuse it: a sender may never narrow it.
  bool refused = false;
};

// A date or time field: mostly one the decoder accepts, sometimes
// unspecified, sometimes any octet.
inline std::optional<std::uint8_t> make_field(FuzzedDataProvider& in, std::uint8_t first, std::uint8_t last) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return std::nullopt;
    case 1:
      return in.ConsumeIntegral<std::uint8_t>();
    default:
      return in.ConsumeIntegralInRange<std::uint8_t>(first, last);
  }
}

// Unspecified, or a number the decoder gives back as itself.
inline bool carried(std::optional<std::uint8_t> field, std::uint8_t first, std::uint8_t last) {
  return !field || (*field >= first && *field <= last);
}

// Contents up to 70 000 octets reach every extended-length form (one, two and
// four length octets) while the fuzz input itself stays small.
inline std::size_t pick_length(FuzzedDataProvider& in) {
  static constexpr std::size_t kBoundaries[] = {0, 3, 4, 5, 252, 253, 254, 255, 65534, 65535, 65536};
  // Mostly short: long contents are slow to check and need few visits.
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 13:
      return in.ConsumeIntegralInRange<std::size_t>(0, 300);
    case 14:
      return in.PickValueInArray(kBoundaries) + in.ConsumeIntegralInRange<std::size_t>(0, 2);
    case 15:
      return in.ConsumeIntegralInRange<std::size_t>(0, 70000);
    default:
      return in.ConsumeIntegralInRange<std::size_t>(0, 8);
  }
}

// `length` octets repeating a short fuzz-chosen pattern.
inline std::vector<std::uint8_t> make_octets(FuzzedDataProvider& in) {
  const std::size_t length = pick_length(in);
  auto pattern = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 16));
  if (pattern.empty()) pattern.push_back(0);
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = pattern[i % pattern.size()];
  return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
  auto put = [&out](unsigned v) { out.push_back(static_cast<char>(static_cast<unsigned char>(v))); };
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

// Valid UTF-8 of at least the picked length, from a repeated run of code
// points (surrogates, which UTF-8 cannot carry, become U+FFFD).
inline std::string make_utf8_text(FuzzedDataProvider& in) {
  const std::size_t length = pick_length(in);
  std::vector<char32_t> pattern;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, 8);
  for (std::size_t i = 0; i < count; ++i) {
    char32_t cp = in.ConsumeIntegralInRange<char32_t>(0, 0x10FFFF);
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    pattern.push_back(cp);
  }
  std::string out;
  for (std::size_t i = 0; out.size() < length; ++i) append_utf8(out, pattern[i % pattern.size()]);
  return out;
}

inline BuiltValue make_scalar(FuzzedDataProvider& in) {
  using PV = PropertyValue;
  switch (in.ConsumeIntegralInRange<int>(0, 12)) {
    case 0:
      return {{PV::Null{}}};
    case 1:
      return {{PV::Boolean{in.ConsumeBool()}}};
    case 2:
      return {{PV::Unsigned{in.ConsumeIntegral<std::uint32_t>()}}};
    case 3:
      return {{PV::Signed{in.ConsumeIntegral<std::int32_t>()}}};
    case 4:  // every bit pattern, NaNs and infinities included
      return {{PV::Real{std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>())}}};
    case 5:
      return {{PV::Double{std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>())}}};
    case 6:
      return {{PV::OctetString{make_octets(in)}}};
    case 7: {
      const auto set = in.ConsumeIntegral<std::uint8_t>();
      switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: {
          // Exact where the set can hold the text.
          std::string text = make_utf8_text(in);
          const bool exact = charset::can_encode(set, text);
          return {{PV::CharacterString{std::move(text), set}}, exact};
        }
        case 1: {
          // As decoded from the wire, octets kept where the text cannot give them back.
          auto decoded = charset::decode(set, make_octets(in));
          if (!decoded) return {{PV::Null{}}};
          return {{PV::CharacterString{std::move(decoded->text), set, std::move(decoded->raw)}}};
        }
        default: {
          auto raw = make_octets(in);  // possibly not UTF-8: comes back repaired
          return {{PV::CharacterString{std::string(raw.begin(), raw.end()), set}}, false};
        }
      }
    }
    case 8: {
      const auto used_bits = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint8_t>(0, 7)
                                              : in.ConsumeIntegral<std::uint8_t>();
      // Carried verbatim, but only 0..7 is an unused-bits count.
      return {{PV::BitString{used_bits, make_octets(in)}}, true, used_bits > 7};
    }
    case 9:
      return {{PV::Enumerated{in.ConsumeIntegral<std::uint32_t>()}}};
    case 10: {
      // Unspecified fields, odd and even months, last, odd and even days included.
      PV::Date date;
      switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
          date.year.reset();
          break;
        case 1:
          date.year = in.ConsumeIntegral<std::uint16_t>();
          break;
        default:
          date.year = in.ConsumeIntegralInRange<std::uint16_t>(1900, 2154);
          break;
      }
      date.month = make_field(in, 1, 14);
      date.day = make_field(in, 1, 34);
      if (in.ConsumeBool()) date.weekday = in.ConsumeIntegral<std::uint8_t>();
      const bool year_carried = !date.year || (*date.year >= 1900 && *date.year <= 2154);
      const bool exact = year_carried && carried(date.month, 1, 14) && carried(date.day, 1, 34) &&
                         (!date.weekday || *date.weekday <= 6);
      return {{date}, exact, !year_carried};
    }
    case 11: {
      PV::Time time;
      time.hour = make_field(in, 0, 23);
      time.minute = make_field(in, 0, 59);
      time.second = make_field(in, 0, 59);
      time.hundredths = make_field(in, 0, 99);
      const bool exact = carried(time.hour, 0, 23) && carried(time.minute, 0, 59) && carried(time.second, 0, 59) &&
                         carried(time.hundredths, 0, 99);
      return {{time}, exact};
    }
    default: {
      ObjectIdentifier oid{ObjectType::from_u16(in.ConsumeIntegral<std::uint16_t>()),
                           in.ConsumeIntegral<std::uint32_t>()};
      const bool exact = oid.object_type.to_u16() < 1024 && oid.instance < (1u << 22);
      return {{oid}, exact, !exact};
    }
  }
}

// Any variant: scalars mostly, arrays of up to eight elements (nested once),
// and pre-encoded Any octets, which are never exact.
inline BuiltValue make_value(FuzzedDataProvider& in, int depth = 0) {
  const int pick = in.ConsumeIntegralInRange<int>(0, 15);
  if (pick == 14 && depth < 2) {
    BuiltValue out{{PropertyValue::Array{}}};
    auto& values = std::get<PropertyValue::Array>(out.value.variant).values;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    for (std::size_t i = 0; i < count; ++i) {
      BuiltValue element = make_value(in, depth + 1);
      out.exact = out.exact && element.exact;
      out.refused = out.refused || element.refused;
      values.push_back(std::move(element.value));
    }
    return out;
  }
  if (pick == 15) return {{PropertyValue::Any{make_octets(in)}}, false};
  return make_scalar(in);
}

// An element of a constructed value: a scalar, context-tagged data or
// constructed data holding further elements, up to the nesting limit.
inline BuiltValue make_element(FuzzedDataProvider& in, std::size_t depth = 0) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      const auto tag = in.ConsumeIntegralInRange<std::uint8_t>(0, 254);
      return {{PropertyValue::Context{tag, make_octets(in)}}};
    }
    case 1: {
      if (depth >= kMaxNesting) return {{PropertyValue::Null{}}};
      BuiltValue out{{PropertyValue::Constructed{in.ConsumeIntegralInRange<std::uint8_t>(0, 254), {}}}};
      auto& values = std::get<PropertyValue::Constructed>(out.value.variant).values;
      const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 4);
      for (std::size_t i = 0; i < count; ++i) {
        BuiltValue element = make_element(in, depth + 1);
        out.exact = out.exact && element.exact;
        out.refused = out.refused || element.refused;
        values.push_back(std::move(element.value));
      }
      return out;
    }
    default:
      return make_scalar(in);
  }
}

// The scalars of a value in wire order: what decoding its encoding one value
// at a time yields.
inline void flatten(const PropertyValue& value, std::vector<PropertyValue>& out) {
  if (const auto* array = std::get_if<PropertyValue::Array>(&value.variant)) {
    for (const auto& element : array->values) flatten(element, out);
  } else {
    out.push_back(value);
  }
}

}  // namespace ferromesh::fuzz
