#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <span>
#include <variant>
#include <vector>

#include "codec/span_reader.hpp"
#include "codec/types.hpp"

// Holds in every build type: a failed check aborts, and libFuzzer keeps the
// input that caused it as a crash reproducer.
#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::ferromesh::fuzz::check_failed(#cond, __FILE__, __LINE__))

namespace ferromesh::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

inline ByteSpan as_span(const std::uint8_t* data, std::size_t size) { return {data, size}; }

// `inner` is empty or lies wholly inside `outer`: a decoder that hands out a
// slice of its input must never point anywhere else.
inline bool within(ByteSpan inner, ByteSpan outer) {
  if (inner.empty()) return true;
  std::less_equal<const std::uint8_t*> le;
  return le(outer.data(), inner.data()) && le(inner.data() + inner.size(), outer.data() + outer.size());
}

// `inner` runs up to the last octet of `outer` (an empty slice counts when
// nothing was left to give).
inline bool ends_with_slice(ByteSpan inner, ByteSpan outer) {
  if (inner.empty()) return true;
  return within(inner, outer) && inner.data() + inner.size() == outer.data() + outer.size();
}

inline bool same_bytes(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Value equality with floats compared by their bits, so that a NaN must come
// back as the very same NaN and -0.0 must not turn into 0.0.
inline bool same_value(const PropertyValue& a, const PropertyValue& b) {
  if (a.variant.index() != b.variant.index()) return false;
  if (const auto* r = std::get_if<PropertyValue::Real>(&a.variant)) {
    return std::bit_cast<std::uint32_t>(r->value) ==
           std::bit_cast<std::uint32_t>(std::get<PropertyValue::Real>(b.variant).value);
  }
  if (const auto* d = std::get_if<PropertyValue::Double>(&a.variant)) {
    return std::bit_cast<std::uint64_t>(d->value) ==
           std::bit_cast<std::uint64_t>(std::get<PropertyValue::Double>(b.variant).value);
  }
  const auto same_elements = [](const std::vector<PropertyValue>& x, const std::vector<PropertyValue>& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!same_value(x[i], y[i])) return false;
    }
    return true;
  };
  if (const auto* arr = std::get_if<PropertyValue::Array>(&a.variant)) {
    return same_elements(arr->values, std::get<PropertyValue::Array>(b.variant).values);
  }
  if (const auto* tree = std::get_if<PropertyValue::Constructed>(&a.variant)) {
    const auto& other = std::get<PropertyValue::Constructed>(b.variant);
    return tree->tag == other.tag && same_elements(tree->values, other.values);
  }
  return a == b;
}

inline Bytes encode(const PropertyValue& value) {
  Bytes out;
  value.encode_tag_and_value(out);
  return out;
}

// Every value encoding announces its own length, so no strict prefix of one
// may decode. Checks the short prefixes (where the header is cut) and the one
// missing only the last octet; all of them would cost quadratic time on long
// strings.
inline void check_strict_prefixes_fail(ByteSpan encoded) {
  for (std::size_t n = 0; n < encoded.size() && n < 16; ++n) {
    FUZZ_CHECK(!PropertyValue::decode(encoded.first(n)).ok());
  }
  if (!encoded.empty()) FUZZ_CHECK(!PropertyValue::decode(encoded.first(encoded.size() - 1)).ok());
}

}  // namespace ferromesh::fuzz
