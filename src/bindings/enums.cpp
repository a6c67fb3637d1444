#include "bindings/enums.hpp"

namespace ferromesh::bindings {

namespace {

PyObject* member_or_int(const char* class_name, unsigned long number) {
  PyRef value = PyRef::steal(PyLong_FromUnsignedLong(number));
  if (!value) return nullptr;
  PyRef enums = PyRef::steal(PyImport_ImportModule("ferromesh._enums"));
  if (enums) {
    PyRef enum_class = PyRef::steal(PyObject_GetAttrString(enums.get(), class_name));
    if (enum_class) {
      PyRef member = PyRef::steal(PyObject_CallOneArg(enum_class.get(), value.get()));
      if (member) return member.release();
    }
  }
  // Unknown number, missing module or class: the plain int, with nothing left set.
  PyRef discarded = PyRef::steal(PyErr_GetRaisedException());
  return value.release();
}

}  // namespace

PyObject* error_code_to_py(std::uint32_t number) { return member_or_int("ErrorCode", number); }
PyObject* error_class_to_py(std::uint32_t number) { return member_or_int("ErrorClass", number); }
PyObject* property_id_to_py(std::uint32_t number) { return member_or_int("PropertyIdentifier", number); }
PyObject* object_type_to_py(std::uint16_t number) { return member_or_int("ObjectType", number); }

}  // namespace ferromesh::bindings
