#include "bindings/results.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/arguments.hpp"
#include "bindings/convert.hpp"
#include "bindings/enums.hpp"
#include "bindings/exceptions.hpp"
#include "bindings/py_class.hpp"
#include "bindings/values.hpp"
#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"

namespace ferromesh::bindings {

using namespace convert;

std::string embedded_text(PyObject* obj, PyObject* (*to_text)(PyObject*)) {
  if (obj == nullptr) return "";
  PyRef text = PyRef::steal(to_text(obj));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyRef discarded = PyRef::steal(PyErr_GetRaisedException());
    return "";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string object_id_form(const PyRef& object_id) {
  return object_id ? object_identifier_form(fields_of<ObjectIdentifier>(object_id.get())) : "";
}

std::string array_index_form(const std::optional<std::uint32_t>& index) {
  return index ? "Some(" + std::to_string(*index) + ")" : "None";
}

bool parse_data(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format, Bytes& data) {
  PyObject* data_arg = one_argument(args, nargs, kwnames, format, "data");
  return data_arg != nullptr && Octets::from_py(data_arg, "data", data);
}

PyObject* raise_decode_error(DecodeError error) {
  PyObject* type = bacnet_error();
  if (type == nullptr) return nullptr;
  const std::string message = "Decode error: " + std::string(to_string(error));
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

namespace {

struct PropertyErrorFields {
  std::uint32_t error_class = 0;
  std::uint32_t error_code = 0;
  PyRef error_class_object;  // what error_class_to_py gave at construction
  PyRef error_code_object;
  int traverse(visitproc visit, void* arg) const {
    return visit_refs(visit, arg, error_class_object, error_code_object);
  }
  void clear() {
    error_class_object.reset();
    error_code_object.reset();
  }
};

PyObject* new_property_error(PyTypeObject* type, std::uint32_t error_class, std::uint32_t error_code) {
  PropertyErrorFields fields{error_class, error_code, PyRef::steal(error_class_to_py(error_class)), PyRef()};
  if (!fields.error_class_object) return nullptr;
  fields.error_code_object = PyRef::steal(error_code_to_py(error_code));
  if (!fields.error_code_object) return nullptr;
  return new_instance(type, std::move(fields));
}

struct BacnetPropertyErrorClass {
  using Fields = PropertyErrorFields;
  static constexpr const char* name = "ferromesh.BacnetPropertyError";
  static constexpr const char* doc = "BacnetPropertyError(error_class, error_code)\n--\n\n";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::error_class_object>("error_class"),
      read_only<AnyObject, &Fields::error_code_object>("error_code"),
      {},
  };
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"error_class", "error_code", nullptr};
    PyObject* error_class_arg = nullptr;
    PyObject* error_code_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:BacnetPropertyError", const_cast<char**>(keywords),
                                     &error_class_arg, &error_code_arg)) {
      return nullptr;
    }
    std::uint32_t error_class = 0;
    std::uint32_t error_code = 0;
    if (!U32::from_py(error_class_arg, "error_class", error_class) ||
        !U32::from_py(error_code_arg, "error_code", error_code)) {
      return nullptr;
    }
    return new_property_error(type, error_class, error_code);
  }
  static PyObject* repr(PyObject* self) {
    const auto& error = fields_of<Fields>(self);
    return Text::to_py("BacnetPropertyError(error_class=" + std::to_string(error.error_class) +
                      ", error_code=" + std::to_string(error.error_code) + ")");
  }
};

struct PropertyResultFields {
  PyRef property_id;
  std::optional<std::uint32_t> array_index;
  PyRef value;  // a PropertyValue* object or a BacnetPropertyError
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, property_id, value); }
  void clear() {
    property_id.reset();
    value.reset();
  }
};

struct PropertyResultClass {
  using Fields = PropertyResultFields;
  static constexpr const char* name = "ferromesh.PropertyResult";
  static constexpr const char* doc = "Result for a single property within ReadPropertyMultiple.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::property_id>("property_id"),
      read_only<Optional<U32>, &Fields::array_index>("array_index"),
      read_only<AnyObject, &Fields::value>("value", "Either a PropertyValue* instance or a BacnetPropertyError."),
      {},
  };
  static PyObject* repr(PyObject* self) {
    const auto& result = fields_of<Fields>(self);
    return Text::to_py("PropertyResult(property_id=" + embedded_text(result.property_id.get(), PyObject_Str) +
                      ", array_index=" + array_index_form(result.array_index) +
                      ", value=" + embedded_text(result.value.get(), PyObject_Repr) + ")");
  }
};

struct ObjectResultFields {
  PyRef object_id;
  std::vector<PyRef> properties;  // PropertyResult objects
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id, properties); }
  void clear() {
    object_id.reset();
    properties.clear();
  }
};

struct ObjectResultClass {
  using Fields = ObjectResultFields;
  static constexpr const char* name = "ferromesh.ObjectResult";
  static constexpr const char* doc = "Result for one object in a ReadPropertyMultiple response.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::object_id>("object_id"),
      read_only<ObjectList, &Fields::properties>("properties"),
      {},
  };
  static PyObject* repr(PyObject* self) {
    return Text::to_py("ObjectResult(object_id=" + object_id_form(fields_of<Fields>(self).object_id) +
                      ", properties=[...])");
  }
};

struct ReadPropertyResultFields {
  PyRef object_id;
  PyRef property_id;
  std::optional<std::uint32_t> array_index;
  PyRef value;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id, property_id, value); }
  void clear() {
    object_id.reset();
    property_id.reset();
    value.reset();
  }
};

struct ReadPropertyResultClass {
  using Fields = ReadPropertyResultFields;
  static constexpr const char* name = "ferromesh.ReadPropertyResult";
  static constexpr const char* doc = "Decoded result of a ReadProperty response.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::object_id>("object_id"),
      read_only<AnyObject, &Fields::property_id>("property_id"),
      read_only<Optional<U32>, &Fields::array_index>("array_index"),
      read_only<AnyObject, &Fields::value>("value", "A PropertyValue* instance."),
      {},
  };
  static PyObject* repr(PyObject* self) {
    const auto& result = fields_of<Fields>(self);
    return Text::to_py("ReadPropertyResult(object_id=" + object_id_form(result.object_id) +
                      ", property_id=" + embedded_text(result.property_id.get(), PyObject_Str) +
                      ", array_index=" + array_index_form(result.array_index) +
                      ", value=" + embedded_text(result.value.get(), PyObject_Repr) + ")");
  }
};

struct ReadPropertyMultipleResultFields {
  std::vector<PyRef> objects;  // ObjectResult objects
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, objects); }
  void clear() { objects.clear(); }
};

struct ReadPropertyMultipleResultClass {
  using Fields = ReadPropertyMultipleResultFields;
  static constexpr const char* name = "ferromesh.ReadPropertyMultipleResult";
  static constexpr const char* doc = "Decoded result of a ReadPropertyMultiple response.";
  static inline PyGetSetDef attributes[] = {read_only<ObjectList, &Fields::objects>("objects"), {}};
  static PyObject* repr(PyObject* self) {
    return Text::to_py("ReadPropertyMultipleResult(objects=[" +
                      std::to_string(fields_of<Fields>(self).objects.size()) + " object(s)])");
  }
};

PyObject* decode_read_property(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bytes data;
  if (!parse_data(args, nargs, kwnames, "O:decode_read_property", data)) return nullptr;
  auto decoded = services::read_property::decode_response(data);
  if (!decoded) return raise_decode_error(decoded.error());

  services::ReadPropertyResult& result = decoded.value();
  ReadPropertyResultFields fields;
  fields.object_id = PyRef::steal(object_identifier_to_py(result.object_id));
  if (!fields.object_id) return nullptr;
  fields.value = PyRef::steal(property_value_to_py(std::move(result.value)));
  if (!fields.value) return nullptr;
  fields.property_id = PyRef::steal(property_id_to_py(result.property_id.to_u32()));
  if (!fields.property_id) return nullptr;
  fields.array_index = result.array_index;
  return new_object<ReadPropertyResultClass>(std::move(fields));
}

PyObject* property_result_to_py(services::PropertyResult&& property) {
  PropertyResultFields fields;
  if (auto* error = std::get_if<services::BacnetPropertyError>(&property.value)) {
    PyTypeObject* type = type_of<BacnetPropertyErrorClass>();
    if (type == nullptr) return nullptr;
    fields.value = PyRef::steal(new_property_error(type, error->error_class, error->error_code));
  } else {
    fields.value = PyRef::steal(property_value_to_py(std::get<PropertyValue>(std::move(property.value))));
  }
  if (!fields.value) return nullptr;
  fields.property_id = PyRef::steal(property_id_to_py(property.property_id.to_u32()));
  if (!fields.property_id) return nullptr;
  fields.array_index = property.array_index;
  return new_object<PropertyResultClass>(std::move(fields));
}

PyObject* decode_read_property_multiple(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bytes data;
  if (!parse_data(args, nargs, kwnames, "O:decode_read_property_multiple", data)) return nullptr;
  auto decoded = services::read_property_multiple::decode_response(data);
  if (!decoded) return raise_decode_error(decoded.error());

  ReadPropertyMultipleResultFields result;
  result.objects.reserve(decoded.value().size());
  for (services::ObjectResult& object : decoded.value()) {
    ObjectResultFields fields;
    fields.object_id = PyRef::steal(object_identifier_to_py(object.object_id));
    if (!fields.object_id) return nullptr;
    fields.properties.reserve(object.properties.size());
    for (services::PropertyResult& property : object.properties) {
      PyRef item = PyRef::steal(property_result_to_py(std::move(property)));
      if (!item) return nullptr;
      fields.properties.push_back(std::move(item));
    }
    PyRef item = PyRef::steal(new_object<ObjectResultClass>(std::move(fields)));
    if (!item) return nullptr;
    result.objects.push_back(std::move(item));
  }
  return new_object<ReadPropertyMultipleResultClass>(std::move(result));
}

}  // namespace

PyTypeObject* bacnet_property_error_type() { return type_of<BacnetPropertyErrorClass>(); }
PyTypeObject* property_result_type() { return type_of<PropertyResultClass>(); }
PyTypeObject* object_result_type() { return type_of<ObjectResultClass>(); }
PyTypeObject* read_property_result_type() { return type_of<ReadPropertyResultClass>(); }
PyTypeObject* read_property_multiple_result_type() { return type_of<ReadPropertyMultipleResultClass>(); }

PyMethodDef decode_read_property_method = {
    "decode_read_property",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<decode_read_property>)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_read_property(data)\n--\n\nDecode a ReadProperty ComplexACK payload into a ReadPropertyResult."};

PyMethodDef decode_read_property_multiple_method = {
    "decode_read_property_multiple",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<decode_read_property_multiple>)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_read_property_multiple(data)\n--\n\n"
    "Decode a ReadPropertyMultiple ComplexACK payload into a ReadPropertyMultipleResult."};

}  // namespace ferromesh::bindings
