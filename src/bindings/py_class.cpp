#include "bindings/py_class.hpp"

namespace ferromesh::bindings {

PyTypeObject* create_type(PyType_Spec& type_spec, bool empty_doc) {
  PyRef type = PyRef::steal(PyType_FromSpec(&type_spec));
  if (!type) return nullptr;
  if (empty_doc) {
    // A heap type stores the docstring after the signature as __doc__, which
    // would be "" here; Python's convention for no docstring is None.
    PyRef dict = PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.get())));
    if (!dict || PyDict_SetItemString(dict.get(), "__doc__", Py_None) < 0) return nullptr;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace ferromesh::bindings
