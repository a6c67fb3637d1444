#pragma once

#include "bindings/py_ref.hpp"

// The decoded-answer classes and the two decode functions.
namespace ferromesh::bindings {

PyTypeObject* bacnet_property_error_type();
PyTypeObject* property_result_type();
PyTypeObject* object_result_type();
PyTypeObject* read_property_result_type();
PyTypeObject* read_property_multiple_result_type();

extern PyMethodDef decode_read_property_method;
extern PyMethodDef decode_read_property_multiple_method;

}  // namespace ferromesh::bindings
