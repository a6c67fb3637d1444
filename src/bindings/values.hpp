#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "bindings/py_class.hpp"
#include "codec/types.hpp"

// ObjectIdentifier and the PropertyValue* classes, and the conversions
// between them and the engine's PropertyValue.
namespace ferromesh::bindings {

// Instances hold a ferromesh::ObjectIdentifier: read it with
// fields_of<ObjectIdentifier>(obj) once the type has been checked.
PyTypeObject* object_identifier_type();
// A new ObjectIdentifier object; null with the error set on failure.
PyObject* object_identifier_to_py(const ObjectIdentifier& id);
// "ObjectIdentifier(type=8, instance=1234)": always the numbers.
std::string object_identifier_form(const ObjectIdentifier& id);

PyTypeObject* property_value_null_type();
PyTypeObject* property_value_boolean_type();
PyTypeObject* property_value_unsigned_type();
PyTypeObject* property_value_signed_type();
PyTypeObject* property_value_real_type();
PyTypeObject* property_value_double_type();
PyTypeObject* property_value_octet_string_type();
PyTypeObject* property_value_character_string_type();
PyTypeObject* property_value_bit_string_type();
PyTypeObject* property_value_enumerated_type();
PyTypeObject* property_value_date_type();
PyTypeObject* property_value_time_type();
PyTypeObject* property_value_any_type();
PyTypeObject* property_value_array_type();
PyTypeObject* property_value_context_type();
PyTypeObject* property_value_constructed_type();

// A new Python object for an engine value (consumed); null with the error set
// only when Python runs out of memory.
PyObject* property_value_to_py(PropertyValue&& value);

// The engine value a PropertyValue* object (or an ObjectIdentifier) stands
// for; nothing with ValueError "Unknown PropertyValue type" for any other
// object. A list or tuple of such objects stands for them back to back (an
// Array). Also ValueError for text its character set cannot hold and for
// constructed values nested deeper than kMaxNesting.
std::optional<PropertyValue> py_to_property_value(PyObject* obj);
// One value (no list) inside `depth` constructed values.
std::optional<PropertyValue> py_to_property_value(PyObject* obj, std::size_t depth);

// Conversions of the constructed-value classes (tree_values.cpp).
PyObject* context_to_py(PropertyValue::Context&& value);
PyObject* constructed_to_py(PropertyValue::Constructed&& value);
std::optional<PropertyValue> constructed_to_engine(PyObject* obj, std::size_t depth);

}  // namespace ferromesh::bindings
