#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bindings/py_ref.hpp"
#include "codec/byte_writer.hpp"
#include "codec/decode_error.hpp"

// The decoded-answer classes and the decode functions.
namespace ferromesh::bindings {

// str() or repr() of an embedded object as UTF-8; a failure stands as the
// empty text, so that a representation never fails because of its parts.
std::string embedded_text(PyObject* obj, PyObject* (*to_text)(PyObject*));
// The current numbers of the ObjectIdentifier object.
std::string object_id_form(const PyRef& object_id);
// "Some(3)" or "None".
std::string array_index_form(const std::optional<std::uint32_t>& index);
// The `data` argument of a decode function as octets.
bool parse_data(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format, Bytes& data);
// Raises BacnetError "Decode error: <kind>"; returns null.
PyObject* raise_decode_error(DecodeError error);

PyTypeObject* bacnet_property_error_type();
PyTypeObject* property_result_type();
PyTypeObject* object_result_type();
PyTypeObject* read_property_result_type();
PyTypeObject* read_property_multiple_result_type();

extern PyMethodDef decode_read_property_method;
extern PyMethodDef decode_read_property_multiple_method;

// service_results.cpp
PyTypeObject* read_range_result_type();
PyTypeObject* write_property_multiple_error_type();
extern PyMethodDef decode_read_range_method;
extern PyMethodDef decode_write_property_multiple_error_method;

}  // namespace ferromesh::bindings
