#include "bindings/enums.hpp"

namespace ferromesh::bindings {

namespace {

// A name made into an interned str once, so that lookups need not build and
// hash it every time. Null (error set) until interning succeeds.
class InternedName {
 public:
  explicit constexpr InternedName(const char* text) : text_(text) {}
  PyObject* get() {
    if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
    return object_;
  }

 private:
  const char* text_;
  PyObject* object_ = nullptr;  // kept for the life of the process
};

InternedName companion_module_name("ferromesh._enums");
InternedName error_code_name("ErrorCode");
InternedName error_class_name("ErrorClass");
InternedName property_identifier_name("PropertyIdentifier");
InternedName object_type_name("ObjectType");

// "ferromesh._enums" as the import machinery gives it. Once imported it is in
// the module cache (sys.modules), and taking it from there skips the
// machinery's Python-level steps, which cost more than the rest of the
// conversion together.
PyRef companion_module() {
  PyObject* name = companion_module_name.get();
  if (name == nullptr) return PyRef();
  PyObject* cached = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);  // borrowed
  if (cached != nullptr && cached != Py_None) return PyRef::new_ref(cached);
  if (PyErr_Occurred()) return PyRef();
  // Not imported yet, or blocked by None: the machinery imports it, or says why not.
  return PyRef::steal(PyImport_Import(name));
}

PyObject* member_or_int(InternedName& class_name, unsigned long number) {
  PyRef value = PyRef::steal(PyLong_FromUnsignedLong(number));
  if (!value) return nullptr;
  PyObject* attribute = class_name.get();
  PyRef enums = attribute == nullptr ? PyRef() : companion_module();
  if (enums) {
    PyRef enum_class = PyRef::steal(PyObject_GetAttr(enums.get(), attribute));
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

PyObject* error_code_to_py(std::uint32_t number) { return member_or_int(error_code_name, number); }
PyObject* error_class_to_py(std::uint32_t number) { return member_or_int(error_class_name, number); }
PyObject* property_id_to_py(std::uint32_t number) { return member_or_int(property_identifier_name, number); }
PyObject* object_type_to_py(std::uint16_t number) { return member_or_int(object_type_name, number); }

}  // namespace ferromesh::bindings
