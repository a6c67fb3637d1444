#pragma once

#include <vector>

#include "bindings/py_class.hpp"
#include "stack/types.hpp"

// The output, event and unconfirmed-message classes, made only by
// Stack.process, and the conversion of the engine's outputs into them.
namespace ferromesh::bindings {

PyTypeObject* output_transmit_type();
PyTypeObject* output_event_type();
PyTypeObject* output_deadline_type();
PyTypeObject* event_response_type();
PyTypeObject* event_timeout_type();
PyTypeObject* event_abort_type();
PyTypeObject* event_error_type();
PyTypeObject* event_unconfirmed_received_type();
PyTypeObject* unconfirmed_i_am_type();
PyTypeObject* unconfirmed_i_am_router_to_network_type();
PyTypeObject* event_bvlc_result_type();
PyTypeObject* unconfirmed_reject_message_to_network_type();
PyTypeObject* unconfirmed_router_busy_to_network_type();
PyTypeObject* unconfirmed_router_available_to_network_type();

// A new list of new objects, one per output and in order (consumed). Null
// with InvokeIdExhaustedError set when the engine reports a full invoke-ID
// pool, or with MemoryError.
PyObject* outputs_to_py(std::vector<stack::Output>&& outputs);

}  // namespace ferromesh::bindings
