#pragma once

#include "bindings/py_class.hpp"

// StackConfig and Stack: the engine as a Python object with one method,
// process.
namespace ferromesh::bindings {

PyTypeObject* stack_config_type();
PyTypeObject* stack_type();

}  // namespace ferromesh::bindings
