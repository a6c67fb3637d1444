// The module object `ferromesh`: created once per process, in one
// interpreter only, with every exception, class and function added in a fixed
// order that is also the order of __all__.
#include <cstdint>

#include "bindings/addresses.hpp"
#include "bindings/exceptions.hpp"
#include "bindings/inputs.hpp"
#include "bindings/outputs.hpp"
#include "bindings/py_class.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/requests.hpp"
#include "bindings/results.hpp"
#include "bindings/stack_api.hpp"
#include "bindings/values.hpp"

namespace ferromesh::bindings {

namespace {

// Each row yields a new reference to the object to add; its name is read
// back from the object's __name__.
using Obtain = PyRef (*)(PyObject* module);

template <PyObject* (*get)()>
PyRef exception(PyObject*) {
  return PyRef::new_ref(get());
}

template <PyTypeObject* (*get)()>
PyRef type(PyObject*) {
  PyTypeObject* created = get();
  return PyRef::new_ref(created == nullptr ? nullptr : as_object(created));
}

template <PyMethodDef* method>
PyRef function(PyObject* module) {
  PyRef module_name = PyRef::steal(PyUnicode_FromString("ferromesh"));
  if (!module_name) return PyRef();
  return PyRef::steal(PyCFunction_NewEx(method, module, module_name.get()));
}

// The order of __all__; rows are only ever inserted, never reordered.
const Obtain kRegistrations[] = {
    exception<bacnet_error>,
    exception<bacnet_timeout_error>,
    exception<invoke_id_exhausted_error>,
    type<object_identifier_type>,
    type<bacnet_addr_type>,
    type<stack_config_type>,
    type<stack_type>,
    type<input_received_type>,
    type<input_tick_type>,
    type<input_send_type>,
    type<read_access_spec_type>,
    type<service_read_property_type>,
    type<service_read_property_multiple_type>,
    type<service_write_property_type>,
    type<output_transmit_type>,
    type<output_event_type>,
    type<output_deadline_type>,
    type<event_response_type>,
    type<event_timeout_type>,
    type<event_abort_type>,
    type<event_error_type>,
    type<event_unconfirmed_received_type>,
    type<unconfirmed_i_am_type>,
    type<unconfirmed_i_am_router_to_network_type>,
    type<property_value_null_type>,
    type<property_value_boolean_type>,
    type<property_value_unsigned_type>,
    type<property_value_signed_type>,
    type<property_value_real_type>,
    type<property_value_double_type>,
    type<property_value_octet_string_type>,
    type<property_value_character_string_type>,
    type<property_value_bit_string_type>,
    type<property_value_enumerated_type>,
    type<property_value_date_type>,
    type<property_value_time_type>,
    type<property_value_any_type>,
    type<property_value_array_type>,
    type<bacnet_property_error_type>,
    type<property_result_type>,
    type<object_result_type>,
    type<read_property_result_type>,
    type<read_property_multiple_result_type>,
    function<&decode_read_property_method>,
    function<&decode_read_property_multiple_method>,
    type<input_send_unconfirmed_type>,
    type<service_who_is_type>,
    type<input_cancel_type>,
    type<property_value_context_type>,
    type<property_value_constructed_type>,
    type<property_write_type>,
    type<write_access_spec_type>,
    type<service_write_property_multiple_type>,
    type<read_range_by_position_type>,
    type<read_range_by_sequence_number_type>,
    type<read_range_by_time_type>,
    type<service_read_range_type>,
    type<read_range_result_type>,
    type<write_property_multiple_error_type>,
    function<&decode_read_range_method>,
    function<&decode_write_property_multiple_error_method>,
    type<service_who_is_router_to_network_type>,
    type<input_register_foreign_device_type>,
    type<input_unregister_foreign_device_type>,
    type<event_bvlc_result_type>,
    type<unconfirmed_reject_message_to_network_type>,
    type<unconfirmed_router_busy_to_network_type>,
    type<unconfirmed_router_available_to_network_type>,
};

bool add_name(PyObject* module, PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(obj, "__name__"));
  if (!name) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed; cannot fail for a module
  PyRef key = PyRef::steal(PyUnicode_FromString("__all__"));
  if (!key) return false;
  PyObject* all = PyDict_GetItemWithError(dict, key.get());  // borrowed
  if (all == nullptr) {
    if (PyErr_Occurred()) return false;
    PyRef created = PyRef::steal(PyList_New(0));
    if (!created || PyDict_SetItem(dict, key.get(), created.get()) < 0) return false;
    all = created.get();  // the module dict keeps it alive
  }
  return PyList_Append(all, name.get()) == 0 && PyObject_SetAttr(module, name.get(), obj) == 0;
}

bool register_names(PyObject* module) {
  for (const Obtain obtain : kRegistrations) {
    PyRef obj = obtain(module);
    if (!obj || !add_name(module, obj.get())) return false;
  }
  return true;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ferromesh",
    "Python extension module entry point.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
  // Types and the module are shared by the whole process, and objects of one
  // interpreter must not reach another: the first interpreter to get here owns them.
  static std::int64_t owner = -1;
  static PyObject* module = nullptr;

  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (owner >= 0 && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError, "ferromesh can be imported by only one interpreter per process");
    return nullptr;
  }
  owner = interpreter;
  if (module != nullptr) return Py_NewRef(module);

  PyRef created = PyRef::steal(PyModule_Create(&module_definition));
  if (!created || !register_names(created.get())) return nullptr;
  module = created.release();
  return Py_NewRef(module);
}

}  // namespace

}  // namespace ferromesh::bindings

PyMODINIT_FUNC PyInit_ferromesh() { return ferromesh::bindings::guarded<ferromesh::bindings::initialise>(); }
