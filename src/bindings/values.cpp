#include "bindings/values.hpp"

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "bindings/convert.hpp"
#include "bindings/enums.hpp"
#include "bindings/text_forms.hpp"
#include "codec/charset.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;
using PV = PropertyValue;

// At least two digits, as in dates and times.
std::string two_digits(unsigned value) {
  std::string digits = std::to_string(value);
  return digits.size() >= 2 ? digits : std::string(2 - digits.size(), '0').append(digits);
}

// A date or time field as `form` writes it, or "*" when unspecified.
template <class Number>
std::string field_form(const std::optional<Number>& field, std::string (*form)(unsigned)) {
  return field ? form(*field) : "*";
}

std::string plain_number(unsigned value) { return std::to_string(value); }

// The object-type number, read back through the ObjectType enumeration.
struct ObjectTypeNumber {
  using Value = ObjectType;
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    std::uint16_t number = 0;
    if (!U16::from_py(obj, name, number)) return false;
    out = ObjectType::from_u16(number);
    return true;
  }
  static PyObject* to_py(Value value) { return object_type_to_py(value.to_u16()); }
};

struct ObjectIdentifierClass {
  using Fields = ObjectIdentifier;
  static constexpr const char* name = "ferromesh.ObjectIdentifier";
  static constexpr const char* doc =
      "ObjectIdentifier(object_type, instance)\n--\n\nBACnet ObjectIdentifier (type, instance).";
  static inline PyGetSetDef attributes[] = {
      read_write<ObjectTypeNumber, &ObjectIdentifier::object_type>("object_type"),
      read_write<U32, &ObjectIdentifier::instance>("instance"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
  static PyObject* repr(PyObject* self) {
    return Text::to_py(object_identifier_form(fields_of<Fields>(self)));
  }
  // Equal when type and instance are, so that identifiers can key dictionaries.
  static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* type = type_of<ObjectIdentifierClass>();
    if (type == nullptr) return nullptr;
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) return Py_NewRef(Py_NotImplemented);
    const bool equal = fields_of<Fields>(self) == fields_of<Fields>(other);
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
  }
  static Py_hash_t hash(PyObject* self) {
    const Fields& id = fields_of<Fields>(self);
    // Type and instance packed without loss; Python folds the 64 bits into its hash width.
    const std::uint64_t packed = (std::uint64_t{id.object_type.to_u16()} << 32) | id.instance;
    PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(packed));
    return number ? PyObject_Hash(number.get()) : -1;
  }
};

struct NullClass {
  using Fields = PV::Null;
  static constexpr const char* name = "ferromesh.PropertyValueNull";
  static constexpr const char* doc = "PropertyValueNull()\n--\n\n";
  static inline PyGetSetDef attributes[] = {{}};
  static constexpr std::size_t required_arguments = 0;
  static PyObject* repr(PyObject*) { return PyUnicode_FromString("PropertyValueNull()"); }
};

struct BooleanClass {
  using Fields = PV::Boolean;
  static constexpr const char* name = "ferromesh.PropertyValueBoolean";
  static constexpr const char* doc = "PropertyValueBoolean(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<Bool, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return PyUnicode_FromString(fields_of<Fields>(self).value ? "PropertyValueBoolean(true)"
                                                           : "PropertyValueBoolean(false)");
  }
};

struct UnsignedClass {
  using Fields = PV::Unsigned;
  static constexpr const char* name = "ferromesh.PropertyValueUnsigned";
  static constexpr const char* doc = "PropertyValueUnsigned(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<U32, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueUnsigned(" + std::to_string(fields_of<Fields>(self).value) + ")");
  }
};

struct SignedClass {
  using Fields = PV::Signed;
  static constexpr const char* name = "ferromesh.PropertyValueSigned";
  static constexpr const char* doc = "PropertyValueSigned(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<I32, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueSigned(" + std::to_string(fields_of<Fields>(self).value) + ")");
  }
};

struct RealClass {
  using Fields = PV::Real;
  static constexpr const char* name = "ferromesh.PropertyValueReal";
  static constexpr const char* doc = "PropertyValueReal(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<Float32, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueReal(" + shortest_decimal(fields_of<Fields>(self).value) + ")");
  }
};

struct DoubleClass {
  using Fields = PV::Double;
  static constexpr const char* name = "ferromesh.PropertyValueDouble";
  static constexpr const char* doc = "PropertyValueDouble(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<Float, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueDouble(" + shortest_decimal(fields_of<Fields>(self).value) + ")");
  }
};

struct OctetStringClass {
  using Fields = PV::OctetString;
  static constexpr const char* name = "ferromesh.PropertyValueOctetString";
  static constexpr const char* doc = "PropertyValueOctetString(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<Octets, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueOctetString(" + octet_list_form(fields_of<Fields>(self).value) + ")");
  }
};

// The octets a text was received as: None, or a new list of ints.
struct KeptOctetsForm {
  using Value = KeptOctets;
  static PyObject* to_py(const Value& value) { return value ? Octets::to_py(*value) : Py_NewRef(Py_None); }
};

// Assigning the text or the character set drops the octets kept from the
// wire: the value is then written from the text in that set.
template <class Conv, auto member>
int set_text_field(PyObject* self, PyObject* value, void* closure) {
  const int result = detail::set_member<Conv, member>(self, value, closure);
  if (result == 0) fields_of<PV::CharacterString>(self).raw.reset();
  return result;
}

template <class Conv, auto member>
PyGetSetDef text_field(const char* name) {
  return {name, detail::get_member<Conv, member>, set_text_field<Conv, member>, nullptr, const_cast<char*>(name)};
}

struct CharacterStringClass {
  using Fields = PV::CharacterString;
  static constexpr const char* name = "ferromesh.PropertyValueCharacterString";
  static constexpr const char* doc = "PropertyValueCharacterString(value, charset=0)\n--\n\n";
  static inline PyGetSetDef attributes[] = {
      text_field<Text, &Fields::value>("value"),
      text_field<U8, &Fields::charset>("charset"),
      read_only<KeptOctetsForm, &Fields::raw>("raw"),
      {},
  };
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"value", "charset", nullptr};
    PyObject* value = nullptr;
    PyObject* charset = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:PropertyValueCharacterString", const_cast<char**>(keywords),
                                     &value, &charset)) {
      return nullptr;
    }
    Fields fields;
    if (!Text::from_py(value, "value", fields.value)) return nullptr;
    if (charset != nullptr && !U8::from_py(charset, "charset", fields.charset)) return nullptr;
    return new_instance(type, std::move(fields));
  }
  static PyObject* repr(PyObject* self) {
    PyRef quoted = PyRef::steal(quoted_text_form(fields_of<Fields>(self).value));
    if (!quoted) return nullptr;
    return PyUnicode_FromFormat("PropertyValueCharacterString(%U)", quoted.get());
  }
};

// The number of bits the string holds; never negative.
std::size_t bit_count(const PV::BitString& bits) {
  const std::size_t total = bits.bits.size() * 8;
  return bits.used_bits >= total ? 0 : total - bits.used_bits;
}

PyObject* bit_count_to_py(PyObject* self) { return PyLong_FromSize_t(bit_count(fields_of<PV::BitString>(self))); }

// Bit 0 is the most significant bit of the first octet.
PyObject* bits_as_booleans(PyObject* self, PyObject*) {
  const PV::BitString& bits = fields_of<PV::BitString>(self);
  const std::size_t count = bit_count(bits);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const bool set = (bits.bits[i / 8] >> (7 - i % 8)) & 1;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(set ? 1 : 0));
  }
  return list.release();
}

struct BitStringClass {
  using Fields = PV::BitString;
  static constexpr const char* name = "ferromesh.PropertyValueBitString";
  static constexpr const char* doc =
      "PropertyValueBitString(used_bits, bits)\n--\n\n"
      "A BACnet bit string: `bits` holds the octets, bit 0 being the most significant bit of the\n"
      "first octet; `used_bits` is the number of unused bits at the end of the last octet (0..7),\n"
      "not the number of bits. A request whose `used_bits` is above 7 is refused when sent.";
  static inline PyGetSetDef attributes[] = {
      read_write<U8, &Fields::used_bits>("used_bits",
                                         "Unused bits at the end of the last octet of `bits` (0..7)."),
      read_write<Octets, &Fields::bits>("bits"),
      computed<bit_count_to_py>("bit_count", "Number of bits in the string: 8 * len(bits) - used_bits."),
      {},
  };
  static inline PyMethodDef methods[] = {
      {"to_bools", reinterpret_cast<PyCFunction>(guarded<bits_as_booleans>), METH_NOARGS,
       "to_bools($self)\n--\n\nThe bits as a list of bit_count booleans, bit 0 first."},
      {},
  };
  static constexpr std::size_t required_arguments = 2;
  static PyObject* repr(PyObject* self) {
    const auto& bits = fields_of<Fields>(self);
    return Text::to_py("PropertyValueBitString(used=" + std::to_string(bits.used_bits) +
                      ", bits=" + octet_list_form(bits.bits) + ")");
  }
};

struct EnumeratedClass {
  using Fields = PV::Enumerated;
  static constexpr const char* name = "ferromesh.PropertyValueEnumerated";
  static constexpr const char* doc = "PropertyValueEnumerated(value)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<U32, &Fields::value>("value"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueEnumerated(" + std::to_string(fields_of<Fields>(self).value) + ")");
  }
};

struct DateClass {
  using Fields = PV::Date;
  static constexpr const char* name = "ferromesh.PropertyValueDate";
  static constexpr const char* doc = "PropertyValueDate(year, month, day, weekday=None)\n--\n\n";
  static inline PyGetSetDef attributes[] = {
      // None is an unspecified field; month 13/14 odd/even months, day 32 the last, 33/34 odd/even days.
      read_write<Optional<U16>, &Fields::year>("year"),
      read_write<Optional<U8>, &Fields::month>("month"),
      read_write<Optional<U8>, &Fields::day>("day"),
      read_write<Optional<U8>, &Fields::weekday>("weekday", "weekday 0=Mon..6=Sun, 7=Mon-Fri, None=wildcard"),
      {},
  };
  static constexpr std::size_t required_arguments = 3;
  // Unspecified fields show as "*".
  static PyObject* repr(PyObject* self) {
    const auto& date = fields_of<Fields>(self);
    return Text::to_py("PropertyValueDate(" + field_form(date.year, plain_number) + "-" +
                      field_form(date.month, two_digits) + "-" + field_form(date.day, two_digits) + ")");
  }
};

struct TimeClass {
  using Fields = PV::Time;
  static constexpr const char* name = "ferromesh.PropertyValueTime";
  static constexpr const char* doc = "PropertyValueTime(hour, minute, second, hundredths)\n--\n\n";
  static inline PyGetSetDef attributes[] = {
      // None is an unspecified field.
      read_write<Optional<U8>, &Fields::hour>("hour"),
      read_write<Optional<U8>, &Fields::minute>("minute"),
      read_write<Optional<U8>, &Fields::second>("second"),
      read_write<Optional<U8>, &Fields::hundredths>("hundredths"),
      {},
  };
  static constexpr std::size_t required_arguments = 4;
  // Unspecified fields show as "*".
  static PyObject* repr(PyObject* self) {
    const auto& time = fields_of<Fields>(self);
    return Text::to_py("PropertyValueTime(" + field_form(time.hour, two_digits) + ":" +
                      field_form(time.minute, two_digits) + ":" + field_form(time.second, two_digits) + "." +
                      field_form(time.hundredths, two_digits) + ")");
  }
};

struct AnyClass {
  using Fields = PV::Any;
  static constexpr const char* name = "ferromesh.PropertyValueAny";
  static constexpr const char* doc = "PropertyValueAny(data)\n--\n\n";
  static inline PyGetSetDef attributes[] = {read_write<Octets, &Fields::octets>("data"), {}};
  static constexpr std::size_t required_arguments = 1;
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueAny(" + octet_list_form(fields_of<Fields>(self).octets) + ")");
  }
};

// The elements are Python objects already, so the array holds references.
struct ArrayFields {
  std::vector<PyRef> values;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, values); }
  void clear() { values.clear(); }
};

struct ArrayClass {
  using Fields = ArrayFields;
  static constexpr const char* name = "ferromesh.PropertyValueArray";
  static constexpr const char* doc = "Multiple decoded values from a ReadProperty array/list response.";
  static inline PyGetSetDef attributes[] = {read_only<ObjectList, &Fields::values>("values"), {}};
  static PyObject* repr(PyObject* self) {
    return Text::to_py("PropertyValueArray([" + std::to_string(fields_of<Fields>(self).values.size()) + " item(s)])");
  }
};

// The classes a request value may be, in the order they are tested.
template <class... Classes>
struct ClassList {};
using WritableClasses =
    ClassList<NullClass, BooleanClass, UnsignedClass, SignedClass, RealClass, DoubleClass, OctetStringClass,
              CharacterStringClass, BitStringClass, EnumeratedClass, DateClass, TimeClass, ObjectIdentifierClass,
              AnyClass>;

// Text without the octets it came as is written in its character set, which
// must be able to hold it.
bool writable(const PropertyValue& value) {
  const auto* text = std::get_if<PV::CharacterString>(&value.variant);
  if (text == nullptr || text->raw || charset::can_encode(text->charset, text->value)) return true;
  const unsigned set = text->charset;
  if (set == charset::kIso8859_1) {
    PyErr_SetString(PyExc_ValueError, "PropertyValueCharacterString: the text does not fit ISO 8859-1 (charset 5)");
  } else {
    PyErr_Format(PyExc_ValueError,
                 "PropertyValueCharacterString: cannot write text in charset %u; "
                 "use 0 (UTF-8), 3 (UCS-4), 4 (UCS-2) or 5 (ISO 8859-1)",
                 set);
  }
  return false;
}

template <class Fields>
Fields engine_form(const Fields& fields) {
  return fields;
}

// Weekday numbers from 8 up mean "any day", like None.
PV::Date engine_form(const PV::Date& date) {
  PV::Date out = date;
  if (out.weekday && *out.weekday >= 8) out.weekday.reset();
  return out;
}

// True when `obj` is an instance of Class (stored into `value`) or when the
// type check cannot run (`failed`); false lets the next class be tried.
template <class Class>
bool match(PyObject* obj, std::optional<PropertyValue>& value, bool& failed) {
  PyTypeObject* type = type_of<Class>();
  if (type == nullptr) return failed = true;
  if (!PyObject_TypeCheck(obj, type)) return false;
  value = PropertyValue{engine_form(fields_of<typename Class::Fields>(obj))};
  return true;
}

template <class... Classes>
std::optional<PropertyValue> first_match(PyObject* obj, ClassList<Classes...>) {
  std::optional<PropertyValue> value;
  bool failed = false;
  (match<Classes>(obj, value, failed) || ...);
  if (failed) return std::nullopt;
  if (!value) PyErr_SetString(PyExc_ValueError, "Unknown PropertyValue type");
  return value;
}

// The class whose instances hold `Fields`.
template <class Fields, class List>
struct ClassHolding;
template <class Fields, class First, class... Rest>
struct ClassHolding<Fields, ClassList<First, Rest...>>
    : std::conditional_t<std::is_same_v<Fields, typename First::Fields>, std::type_identity<First>,
                         ClassHolding<Fields, ClassList<Rest...>>> {};

PyObject* to_py_value(PV::Context&& value) { return context_to_py(std::move(value)); }
PyObject* to_py_value(PV::Constructed&& value) { return constructed_to_py(std::move(value)); }

PyObject* to_py_value(PV::Array&& array) {
  ArrayFields elements;
  elements.values.reserve(array.values.size());
  for (PropertyValue& element : array.values) {
    PyRef item = PyRef::steal(property_value_to_py(std::move(element)));
    if (!item) return nullptr;
    elements.values.push_back(std::move(item));
  }
  return new_object<ArrayClass>(std::move(elements));
}

template <class Fields>
PyObject* to_py_value(Fields&& value) {
  using Class = typename ClassHolding<std::remove_cvref_t<Fields>, WritableClasses>::type;
  return new_object<Class>(std::move(value));
}

}  // namespace

PyTypeObject* object_identifier_type() { return type_of<ObjectIdentifierClass>(); }
PyTypeObject* property_value_null_type() { return type_of<NullClass>(); }
PyTypeObject* property_value_boolean_type() { return type_of<BooleanClass>(); }
PyTypeObject* property_value_unsigned_type() { return type_of<UnsignedClass>(); }
PyTypeObject* property_value_signed_type() { return type_of<SignedClass>(); }
PyTypeObject* property_value_real_type() { return type_of<RealClass>(); }
PyTypeObject* property_value_double_type() { return type_of<DoubleClass>(); }
PyTypeObject* property_value_octet_string_type() { return type_of<OctetStringClass>(); }
PyTypeObject* property_value_character_string_type() { return type_of<CharacterStringClass>(); }
PyTypeObject* property_value_bit_string_type() { return type_of<BitStringClass>(); }
PyTypeObject* property_value_enumerated_type() { return type_of<EnumeratedClass>(); }
PyTypeObject* property_value_date_type() { return type_of<DateClass>(); }
PyTypeObject* property_value_time_type() { return type_of<TimeClass>(); }
PyTypeObject* property_value_any_type() { return type_of<AnyClass>(); }
PyTypeObject* property_value_array_type() { return type_of<ArrayClass>(); }

std::string object_identifier_form(const ObjectIdentifier& id) {
  return "ObjectIdentifier(type=" + std::to_string(id.object_type.to_u16()) + ", instance=" + std::to_string(id.instance) +
         ")";
}

PyObject* object_identifier_to_py(const ObjectIdentifier& id) { return new_object<ObjectIdentifierClass>(id); }

PyObject* property_value_to_py(PropertyValue&& value) {
  return std::visit([](auto&& alternative) { return to_py_value(std::move(alternative)); }, std::move(value.variant));
}

std::optional<PropertyValue> py_to_property_value(PyObject* obj, std::size_t depth) {
  PyTypeObject* context = property_value_context_type();
  PyTypeObject* constructed = property_value_constructed_type();
  if (context == nullptr || constructed == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(obj, context)) return PropertyValue{fields_of<PV::Context>(obj)};
  if (PyObject_TypeCheck(obj, constructed)) return constructed_to_engine(obj, depth);
  auto value = first_match(obj, WritableClasses{});
  if (value && !writable(*value)) return std::nullopt;
  return value;
}

std::optional<PropertyValue> py_to_property_value(PyObject* obj) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) return py_to_property_value(obj, 0);
  // Several values written back to back, as a list property holds them.
  PyRef items = PyRef::steal(PySequence_Fast(obj, "value"));
  if (!items) return std::nullopt;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  PyObject** item = PySequence_Fast_ITEMS(items.get());
  PV::Array array;
  array.values.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto value = py_to_property_value(item[i], 0);
    if (!value) return std::nullopt;
    array.values.push_back(std::move(*value));
  }
  return PropertyValue{std::move(array)};
}

}  // namespace ferromesh::bindings
