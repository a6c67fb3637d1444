#include "bindings/arguments.hpp"

namespace ferromesh::bindings {

PyObject* one_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                       const char* name) {
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nargs == 1 && keywords == 0) return args[0];

  // Vectorcall puts the keyword values after the positional ones.
  PyRef positional = PyRef::steal(PyTuple_New(nargs));
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
  PyRef by_keyword;
  if (keywords > 0) {
    by_keyword = PyRef::steal(PyDict_New());
    if (!by_keyword) return nullptr;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      if (PyDict_SetItem(by_keyword.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
  }
  const char* keyword_list[] = {name, nullptr};
  PyObject* value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(positional.get(), by_keyword.get(), format, const_cast<char**>(keyword_list),
                                   &value)) {
    return nullptr;
  }
  return value;  // still held by the caller's arguments
}

}  // namespace ferromesh::bindings
