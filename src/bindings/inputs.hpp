#pragma once

#include <optional>

#include "bindings/py_class.hpp"
#include "stack/types.hpp"

// The input classes and their conversion into the engine's Input.
namespace ferromesh::bindings {

PyTypeObject* input_received_type();
PyTypeObject* input_tick_type();
PyTypeObject* input_send_type();
PyTypeObject* input_send_unconfirmed_type();
PyTypeObject* input_cancel_type();
PyTypeObject* input_register_foreign_device_type();
PyTypeObject* input_unregister_foreign_device_type();

// The engine input for `input`; nothing with ValueError set when it is not an
// input, names an unknown service or value, or holds an invalid address.
std::optional<stack::Input> input_to_engine(PyObject* input);

}  // namespace ferromesh::bindings
