#pragma once

#include "bindings/py_ref.hpp"

// The module's exception types, each created on first need and kept for the
// life of the process. Borrowed references; null with the error set only if
// creation fails.
namespace ferromesh::bindings {

PyObject* bacnet_error();
PyObject* bacnet_timeout_error();
PyObject* invoke_id_exhausted_error();

}  // namespace ferromesh::bindings
