// The answers of ReadRange and the Error of WritePropertyMultiple.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/enums.hpp"
#include "bindings/results.hpp"
#include "bindings/values.hpp"
#include "services/read_range.hpp"
#include "services/write_property_multiple.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;

const char* flag_form(bool flag) { return flag ? "True" : "False"; }

struct ReadRangeResultFields {
  PyRef object_id;
  PyRef property_id;
  std::optional<std::uint32_t> array_index;
  bool first_item = false;
  bool last_item = false;
  bool more_items = false;
  std::uint32_t item_count = 0;
  std::vector<PyRef> items;  // PropertyValue* objects
  std::optional<std::uint32_t> first_sequence_number;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id, property_id, items); }
  void clear() {
    object_id.reset();
    property_id.reset();
    items.clear();
  }
};

struct ReadRangeResultClass {
  using Fields = ReadRangeResultFields;
  static constexpr const char* name = "ferromesh.ReadRangeResult";
  static constexpr const char* doc =
      "Decoded result of a ReadRange response. `items` holds the elements of the item data in order; the\n"
      "items of a list of constructed records lie back to back, so one record may span several elements.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::object_id>("object_id"),
      read_only<AnyObject, &Fields::property_id>("property_id"),
      read_only<Optional<U32>, &Fields::array_index>("array_index"),
      read_only<Bool, &Fields::first_item>("first_item"),
      read_only<Bool, &Fields::last_item>("last_item"),
      read_only<Bool, &Fields::more_items>("more_items"),
      read_only<U32, &Fields::item_count>("item_count"),
      read_only<ObjectList, &Fields::items>("items"),
      read_only<Optional<U32>, &Fields::first_sequence_number>("first_sequence_number"),
      {},
  };
  static PyObject* repr(PyObject* self) {
    const auto& result = fields_of<Fields>(self);
    return Text::to_py("ReadRangeResult(object_id=" + object_id_form(result.object_id) +
                      ", property_id=" + embedded_text(result.property_id.get(), PyObject_Str) +
                      ", array_index=" + array_index_form(result.array_index) +
                      ", first_item=" + flag_form(result.first_item) + ", last_item=" + flag_form(result.last_item) +
                      ", more_items=" + flag_form(result.more_items) +
                      ", item_count=" + std::to_string(result.item_count) + ", items=[" +
                      std::to_string(result.items.size()) + " element(s)], first_sequence_number=" +
                      array_index_form(result.first_sequence_number) + ")");
  }
};

struct WritePropertyMultipleErrorFields {
  std::uint32_t error_class = 0;
  std::uint32_t error_code = 0;
  PyRef error_class_object;  // what error_class_to_py gave
  PyRef error_code_object;
  PyRef object_id;
  PyRef property_id;
  std::optional<std::uint32_t> array_index;
  int traverse(visitproc visit, void* arg) const {
    return visit_refs(visit, arg, error_class_object, error_code_object, object_id, property_id);
  }
  void clear() {
    error_class_object.reset();
    error_code_object.reset();
    object_id.reset();
    property_id.reset();
  }
};

struct WritePropertyMultipleErrorClass {
  using Fields = WritePropertyMultipleErrorFields;
  static constexpr const char* name = "ferromesh.WritePropertyMultipleError";
  static constexpr const char* doc =
      "Decoded Error of a WritePropertyMultiple request: the error class and code and the first write that\n"
      "failed (object, property, array index); the writes before it took effect.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::error_class_object>("error_class"),
      read_only<AnyObject, &Fields::error_code_object>("error_code"),
      read_only<AnyObject, &Fields::object_id>("object_id"),
      read_only<AnyObject, &Fields::property_id>("property_id"),
      read_only<Optional<U32>, &Fields::array_index>("array_index"),
      {},
  };
  static PyObject* repr(PyObject* self) {
    const auto& error = fields_of<Fields>(self);
    return Text::to_py("WritePropertyMultipleError(error_class=" + std::to_string(error.error_class) +
                      ", error_code=" + std::to_string(error.error_code) +
                      ", object_id=" + object_id_form(error.object_id) +
                      ", property_id=" + embedded_text(error.property_id.get(), PyObject_Str) +
                      ", array_index=" + array_index_form(error.array_index) + ")");
  }
};

PyObject* decode_read_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bytes data;
  if (!parse_data(args, nargs, kwnames, "O:decode_read_range", data)) return nullptr;
  auto decoded = services::read_range::decode_response(data);
  if (!decoded) return raise_decode_error(decoded.error());

  services::ReadRangeResult& result = decoded.value();
  ReadRangeResultFields fields;
  fields.object_id = PyRef::steal(object_identifier_to_py(result.object_id));
  if (!fields.object_id) return nullptr;
  fields.property_id = PyRef::steal(property_id_to_py(result.property_id.to_u32()));
  if (!fields.property_id) return nullptr;
  fields.array_index = result.array_index;
  fields.first_item = result.first_item;
  fields.last_item = result.last_item;
  fields.more_items = result.more_items;
  fields.item_count = result.item_count;
  fields.first_sequence_number = result.first_sequence_number;
  fields.items.reserve(result.items.size());
  for (PropertyValue& item : result.items) {
    PyRef converted = PyRef::steal(property_value_to_py(std::move(item)));
    if (!converted) return nullptr;
    fields.items.push_back(std::move(converted));
  }
  return new_object<ReadRangeResultClass>(std::move(fields));
}

PyObject* decode_write_property_multiple_error(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
  Bytes data;
  if (!parse_data(args, nargs, kwnames, "O:decode_write_property_multiple_error", data)) return nullptr;
  auto decoded = services::write_property_multiple::decode_error(data);
  if (!decoded) return raise_decode_error(decoded.error());

  const services::WritePropertyMultipleError& error = decoded.value();
  WritePropertyMultipleErrorFields fields;
  fields.error_class = error.error_class;
  fields.error_code = error.error_code;
  fields.error_class_object = PyRef::steal(error_class_to_py(error.error_class));
  if (!fields.error_class_object) return nullptr;
  fields.error_code_object = PyRef::steal(error_code_to_py(error.error_code));
  if (!fields.error_code_object) return nullptr;
  fields.object_id = PyRef::steal(object_identifier_to_py(error.object_id));
  if (!fields.object_id) return nullptr;
  fields.property_id = PyRef::steal(property_id_to_py(error.property_id.to_u32()));
  if (!fields.property_id) return nullptr;
  fields.array_index = error.array_index;
  return new_object<WritePropertyMultipleErrorClass>(std::move(fields));
}

}  // namespace

PyTypeObject* read_range_result_type() { return type_of<ReadRangeResultClass>(); }
PyTypeObject* write_property_multiple_error_type() { return type_of<WritePropertyMultipleErrorClass>(); }

PyMethodDef decode_read_range_method = {
    "decode_read_range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_read_range)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_read_range(data)\n--\n\nDecode a ReadRange ComplexACK payload into a ReadRangeResult."};

PyMethodDef decode_write_property_multiple_error_method = {
    "decode_write_property_multiple_error",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_write_property_multiple_error)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_write_property_multiple_error(data)\n--\n\n"
    "Decode the payload of the EventError that answers a WritePropertyMultiple request into a\n"
    "WritePropertyMultipleError."};

}  // namespace ferromesh::bindings
