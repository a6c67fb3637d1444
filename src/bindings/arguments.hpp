#pragma once

#include "bindings/py_ref.hpp"

namespace ferromesh::bindings {

// The single argument `name` of a METH_FASTCALL | METH_KEYWORDS callable,
// borrowed from the call; null with the error set. `format` is what
// PyArg_ParseTupleAndKeywords would be given ("O:function"). One positional
// argument, the usual call, is taken as it is; every other form is parsed the
// general way, so that its errors read exactly as before.
PyObject* one_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                       const char* name);

}  // namespace ferromesh::bindings
