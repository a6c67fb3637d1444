#pragma once

#include <cstdint>

#include "bindings/py_ref.hpp"

// Numbers handed to Python as members of the enumeration classes of
// "ferromesh._enums" when that module has one, else as plain ints. The
// module is looked up anew on every call and its failures are swallowed, so
// a missing or broken companion module only changes what kind of int Python
// sees. Null (with MemoryError set) only if the int itself cannot be made.
namespace ferromesh::bindings {

PyObject* error_code_to_py(std::uint32_t number);
PyObject* error_class_to_py(std::uint32_t number);
PyObject* property_id_to_py(std::uint32_t number);
PyObject* object_type_to_py(std::uint16_t number);

}  // namespace ferromesh::bindings
