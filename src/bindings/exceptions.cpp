#include "bindings/exceptions.hpp"

namespace ferromesh::bindings {

namespace {

PyObject* cached_exception(PyObject*& slot, const char* name, const char* doc, PyObject* (*base)()) {
  if (slot != nullptr) return slot;
  PyObject* base_type = nullptr;
  if (base != nullptr) {
    base_type = base();
    if (base_type == nullptr) return nullptr;
  }
  slot = PyErr_NewExceptionWithDoc(name, doc, base_type, nullptr);
  return slot;
}

}  // namespace

PyObject* bacnet_error() {
  static PyObject* type = nullptr;
  return cached_exception(type, "ferromesh.BacnetError", "BACnet protocol error.", nullptr);
}

PyObject* bacnet_timeout_error() {
  static PyObject* type = nullptr;
  return cached_exception(type, "ferromesh.BacnetTimeoutError", "No response received within the retry budget.",
                          bacnet_error);
}

PyObject* invoke_id_exhausted_error() {
  static PyObject* type = nullptr;
  return cached_exception(type, "ferromesh.InvokeIdExhaustedError",
                          "All 256 invoke IDs are in use for this destination.", bacnet_error);
}

}  // namespace ferromesh::bindings
