// PropertyValueContext and PropertyValueConstructed: the parts of a value
// built from context tags, kept losslessly so that they can be written back.
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/results.hpp"
#include "bindings/text_forms.hpp"
#include "bindings/values.hpp"
#include "codec/elements.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;
using PV = PropertyValue;

// A tag number 0..254; 255 is reserved.
struct TagNumber {
  using Value = std::uint8_t;
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    Value number = 0;
    if (!U8::from_py(obj, name, number)) return false;
    if (number == 255) {
      PyErr_Format(PyExc_ValueError, "%s must be 0..254; 255 is reserved", name);
      return false;
    }
    out = number;
    return true;
  }
  static PyObject* to_py(Value value) { return U8::to_py(value); }
};

// Any sequence other than str; its items are checked when the value is sent.
struct Elements : ObjectList {
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    PyRef items = sequence_items(obj, name);
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    Value refs;
    refs.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) refs.push_back(PyRef::new_ref(item[i]));
    out = std::move(refs);
    return true;
  }
};

PyObject* decode_as(PyObject* self, PyObject* tag_arg) {
  std::uint8_t tag = 0;
  if (!U8::from_py(tag_arg, "tag", tag)) return nullptr;
  auto decoded = decode_context_as(fields_of<PV::Context>(self), tag);
  if (!decoded) return raise_decode_error(decoded.error());
  return property_value_to_py(std::move(decoded).value());
}

struct ContextClass {
  using Fields = PV::Context;
  static constexpr const char* name = "ferromesh.PropertyValueContext";
  static constexpr const char* doc =
      "PropertyValueContext(tag, data)\n--\n\n"
      "Context-tagged primitive data inside a constructed value: its tag number and content octets, whose\n"
      "meaning depends on the property.";
  static inline PyGetSetDef attributes[] = {
      read_write<TagNumber, &Fields::tag>("tag"),
      read_write<Octets, &Fields::data>("data"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
  static inline PyMethodDef methods[] = {
      {"decode_as", decode_as, METH_O,
       "decode_as($self, tag, /)\n--\n\n"
       "The content read as application tag `tag` (0..12) would be, e.g. 11 for the time of a time stamp;\n"
       "BacnetError \"Decode error: ...\" when it is not exactly one such value."},
      {},
  };
  static PyObject* repr(PyObject* self) {
    const auto& context = fields_of<Fields>(self);
    return Text::to_py("PropertyValueContext(" + std::to_string(context.tag) + ", " + octet_list_form(context.data) +
                      ")");
  }
};

struct ConstructedFields {
  std::uint8_t tag = 0;
  std::vector<PyRef> values;  // PropertyValue* objects, in wire order
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, values); }
  void clear() { values.clear(); }
};

struct ConstructedClass {
  using Fields = ConstructedFields;
  static constexpr const char* name = "ferromesh.PropertyValueConstructed";
  static constexpr const char* doc =
      "PropertyValueConstructed(tag, values)\n--\n\n"
      "Constructed data between an opening and a closing tag: its tag number and its elements in order.";
  static inline PyGetSetDef attributes[] = {
      read_write<TagNumber, &Fields::tag>("tag"),
      read_write<Elements, &Fields::values>("values"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
  // "PropertyValueConstructed(0, [PropertyValueTime(08:00:00.00), PropertyValueReal(21)])"; a value that
  // holds itself shows as [...] there.
  static PyObject* repr(PyObject* self) {
    const int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("[...]") : nullptr;
    PyRef values = PyRef::steal(ObjectList::to_py(fields_of<Fields>(self).values));
    PyRef text = values ? PyRef::steal(PyObject_Repr(values.get())) : PyRef();
    Py_ReprLeave(self);
    if (!text) return nullptr;
    return PyUnicode_FromFormat("PropertyValueConstructed(%u, %U)", unsigned{fields_of<Fields>(self).tag},
                                text.get());
  }
};

}  // namespace

PyTypeObject* property_value_context_type() { return type_of<ContextClass>(); }
PyTypeObject* property_value_constructed_type() { return type_of<ConstructedClass>(); }

PyObject* context_to_py(PV::Context&& value) { return new_object<ContextClass>(std::move(value)); }

PyObject* constructed_to_py(PV::Constructed&& value) {
  ConstructedFields fields{value.tag, {}};
  fields.values.reserve(value.values.size());
  for (PropertyValue& element : value.values) {
    PyRef item = PyRef::steal(property_value_to_py(std::move(element)));
    if (!item) return nullptr;
    fields.values.push_back(std::move(item));
  }
  return new_object<ConstructedClass>(std::move(fields));
}

std::optional<PropertyValue> constructed_to_engine(PyObject* obj, std::size_t depth) {
  if (depth >= kMaxNesting) {
    PyErr_Format(PyExc_ValueError, "PropertyValueConstructed nested deeper than %zu levels", kMaxNesting);
    return std::nullopt;
  }
  const ConstructedFields& fields = fields_of<ConstructedFields>(obj);
  PV::Constructed engine{fields.tag, {}};
  engine.values.reserve(fields.values.size());
  // Converting the elements runs no Python code, so `fields` cannot change meanwhile.
  for (const PyRef& element : fields.values) {
    auto value = py_to_property_value(element ? element.get() : Py_None, depth + 1);
    if (!value) return std::nullopt;
    engine.values.push_back(std::move(*value));
  }
  return PropertyValue{std::move(engine)};
}

}  // namespace ferromesh::bindings
