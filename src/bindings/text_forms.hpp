#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bindings/py_ref.hpp"

// The text forms used by the representations of the value classes.
namespace ferromesh::bindings {

// The shortest decimal that reads back as the same binary32/binary64 value,
// never in exponent notation and without ".0" for integral values
// (1e-07 -> "0.0000001", 3.0 -> "3"); "NaN", "inf", "-inf", "-0".
std::string shortest_decimal(float value);
std::string shortest_decimal(double value);

// "[1, 2, 255]"; "[]" when empty.
std::string octet_list_form(std::span<const std::uint8_t> octets);

// The UTF-8 text between double quotes, with \" \\ \n \r \t \0 escaped and
// every other non-printable character as \u{hex}. A new str, or null with
// the error set.
PyObject* quoted_text_form(std::string_view utf8);

}  // namespace ferromesh::bindings
