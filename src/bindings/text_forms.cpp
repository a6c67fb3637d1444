#include "bindings/text_forms.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace ferromesh::bindings {

namespace {

template <class Float>
std::string expand_shortest(Float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)xx.
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (error != std::errc()) return "";  // cannot happen: 64 octets hold any binary64
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

  std::string out;
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  std::string_view exponent_text = text.substr(e + 1);
  const bool negative_exponent = exponent_text.front() == '-';
  exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  if (negative_exponent) exponent = -exponent;

  // The value is 0.<digits> times ten to the power `point`.
  const long point = exponent + 1L;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace

std::string shortest_decimal(float value) { return expand_shortest(value); }
std::string shortest_decimal(double value) { return expand_shortest(value); }

std::string octet_list_form(std::span<const std::uint8_t> octets) {
  std::string out = "[";
  for (std::size_t i = 0; i < octets.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(octets[i]);
  }
  out += "]";
  return out;
}

PyObject* quoted_text_form(std::string_view utf8) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
  if (!text) return nullptr;
  std::u32string out = U"\"";
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(text.get(), i);
    switch (c) {
      case U'"': out += U"\\\""; continue;
      case U'\\': out += U"\\\\"; continue;
      case U'\n': out += U"\\n"; continue;
      case U'\r': out += U"\\r"; continue;
      case U'\t': out += U"\\t"; continue;
      case U'\0': out += U"\\0"; continue;
      default: break;
    }
    if (Py_UNICODE_ISPRINTABLE(c)) {
      out.push_back(c);
      continue;
    }
    char hex[8];
    const auto [end, error] = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned long>(c), 16);
    out += U"\\u{";
    for (const char* p = hex; error == std::errc() && p != end; ++p) out.push_back(static_cast<char32_t>(*p));
    out += U"}";
  }
  out.push_back(U'"');
  return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace ferromesh::bindings
