#include "bindings/requests.hpp"

#include <string>

#include "bindings/convert.hpp"
#include "bindings/values.hpp"
#include "services/who_is.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;
using ObjectIdentifierRef = InstanceOf<object_identifier_type>;

// A sequence other than str of (property number, array index or None)
// tuples; read back as a new list of new tuples.
struct PropertyNumberList {
  using Value = std::vector<PropertyNumbers>;

  static bool from_py(PyObject* obj, const char* name, Value& out) {
    PyRef items = sequence_items(obj, name);
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    Value numbers;
    numbers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::string item_name = std::string(name) + "[" + std::to_string(i) + "]";
      if (!PyTuple_Check(item[i])) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple (property_id, array_index), not %.200s", item_name.c_str(),
                     Py_TYPE(item[i])->tp_name);
        return false;
      }
      if (PyTuple_GET_SIZE(item[i]) != 2) {
        PyErr_Format(PyExc_ValueError, "%s must be a tuple of 2 items (property_id, array_index), not %zd",
                     item_name.c_str(), PyTuple_GET_SIZE(item[i]));
        return false;
      }
      PropertyNumbers entry;
      if (!U32::from_py(PyTuple_GET_ITEM(item[i], 0), (item_name + "[0]").c_str(), entry.property_id) ||
          !Optional<U32>::from_py(PyTuple_GET_ITEM(item[i], 1), (item_name + "[1]").c_str(), entry.array_index)) {
        return false;
      }
      numbers.push_back(entry);
    }
    out = std::move(numbers);
    return true;
  }

  static PyObject* to_py(const Value& value) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < value.size(); ++i) {
      PyRef property_id = PyRef::steal(U32::to_py(value[i].property_id));
      if (!property_id) return nullptr;
      PyRef array_index = PyRef::steal(Optional<U32>::to_py(value[i].array_index));
      if (!array_index) return nullptr;
      PyObject* pair = PyTuple_Pack(2, property_id.get(), array_index.get());
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  }
};

struct ServiceReadPropertyClass {
  using Fields = ReadPropertyRequest;
  static constexpr const char* name = "ferromesh.ServiceReadProperty";
  static constexpr const char* doc =
      "ServiceReadProperty(object_id, property_id, array_index=None)\n--\n\nService: ReadProperty request.";
  static inline PyGetSetDef attributes[] = {
      read_write<ObjectIdentifierRef, &Fields::object_id>("object_id"),
      read_write<U32, &Fields::property_id>("property_id"),
      read_write<Optional<U32>, &Fields::array_index>("array_index"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct ServiceWritePropertyClass {
  using Fields = WritePropertyRequest;
  static constexpr const char* name = "ferromesh.ServiceWriteProperty";
  static constexpr const char* doc =
      "ServiceWriteProperty(object_id, property_id, value, array_index=None, priority=None)\n--\n\n"
      "Service: WriteProperty request.";
  static inline PyGetSetDef attributes[] = {
      read_write<ObjectIdentifierRef, &Fields::object_id>("object_id"),
      read_write<U32, &Fields::property_id>("property_id"),
      read_write<AnyObject, &Fields::value>("value"),
      read_write<Optional<U32>, &Fields::array_index>("array_index"),
      read_write<Optional<U8>, &Fields::priority>("priority"),
      {},
  };
  static constexpr std::size_t required_arguments = 3;
};

struct ReadAccessSpecClass {
  using Fields = ReadAccessSpecFields;
  static constexpr const char* name = "ferromesh.ReadAccessSpec";
  static constexpr const char* doc =
      "ReadAccessSpec(object_id, properties)\n--\n\nReadAccessSpec for ReadPropertyMultiple.";
  static inline PyGetSetDef attributes[] = {
      read_write<ObjectIdentifierRef, &Fields::object_id>("object_id"),
      read_write<PropertyNumberList, &Fields::properties>("properties"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct ServiceReadPropertyMultipleClass {
  using Fields = ReadPropertyMultipleRequest;
  static constexpr const char* name = "ferromesh.ServiceReadPropertyMultiple";
  static constexpr const char* doc =
      "ServiceReadPropertyMultiple(specs)\n--\n\nService: ReadPropertyMultiple request.";
  static inline PyGetSetDef attributes[] = {
      read_write<ListOf<read_access_spec_type>, &Fields::specs>("specs"),
      {},
  };
  static constexpr std::size_t required_arguments = 1;
};

// A Who-Is limit: None or an int. A limit beyond every device instance, of
// whatever width, is kept as one so that the check of the pair refuses it
// with the same ValueError as limits that do not fit together.
bool who_is_limit(PyObject* obj, const char* name, std::optional<std::uint32_t>& out) {
  if (obj == Py_None) return true;
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.200s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > services::who_is::kLargestInstance) {
    out = services::who_is::kLargestInstance + 1;
    return true;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

struct ServiceWhoIsClass {
  using Fields = WhoIsRequest;
  static constexpr const char* name = "ferromesh.ServiceWhoIs";
  static constexpr const char* doc =
      "ServiceWhoIs(low=None, high=None)\n--\n\n"
      "Service: Who-Is request, answered with I-Am by the devices whose instance\n"
      "is in low..high (both limits or neither; 0 <= low <= high <= 4194303).";
  static inline PyGetSetDef attributes[] = {
      read_only<Optional<U32>, &Fields::low>("low"),
      read_only<Optional<U32>, &Fields::high>("high"),
      {},
  };

  // Read-only, so that an instance always holds limits that can be sent.
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"low", "high", nullptr};
    PyObject* low_arg = Py_None;
    PyObject* high_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:ServiceWhoIs", const_cast<char**>(keywords), &low_arg,
                                     &high_arg)) {
      return nullptr;
    }
    WhoIsRequest limits;
    if (!who_is_limit(low_arg, "low", limits.low) || !who_is_limit(high_arg, "high", limits.high)) return nullptr;
    if (const auto refusal = services::who_is::refusal(limits.low, limits.high)) {
      PyErr_SetString(PyExc_ValueError, std::string(*refusal).c_str());
      return nullptr;
    }
    return new_instance(type, limits);
  }
};

struct PropertyWriteClass {
  using Fields = PropertyWriteFields;
  static constexpr const char* name = "ferromesh.PropertyWrite";
  static constexpr const char* doc =
      "PropertyWrite(property_id, value, array_index=None, priority=None)\n--\n\n"
      "One property write of a WriteAccessSpec.";
  static inline PyGetSetDef attributes[] = {
      read_write<U32, &Fields::property_id>("property_id"),
      read_write<AnyObject, &Fields::value>("value"),
      read_write<Optional<U32>, &Fields::array_index>("array_index"),
      read_write<Optional<U8>, &Fields::priority>("priority"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct WriteAccessSpecClass {
  using Fields = WriteAccessSpecFields;
  static constexpr const char* name = "ferromesh.WriteAccessSpec";
  static constexpr const char* doc =
      "WriteAccessSpec(object_id, properties)\n--\n\nWriteAccessSpec for WritePropertyMultiple.";
  static inline PyGetSetDef attributes[] = {
      read_write<ObjectIdentifierRef, &Fields::object_id>("object_id"),
      read_write<ListOf<property_write_type>, &Fields::properties>("properties"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct ServiceWritePropertyMultipleClass {
  using Fields = WritePropertyMultipleRequest;
  static constexpr const char* name = "ferromesh.ServiceWritePropertyMultiple";
  static constexpr const char* doc =
      "ServiceWritePropertyMultiple(specs)\n--\n\nService: WritePropertyMultiple request.";
  static inline PyGetSetDef attributes[] = {
      read_write<ListOf<write_access_spec_type>, &Fields::specs>("specs"),
      {},
  };
  static constexpr std::size_t required_arguments = 1;
};

struct ReadRangeByPositionClass {
  using Fields = services::RangeByPosition;
  static constexpr const char* name = "ferromesh.ReadRangeByPosition";
  static constexpr const char* doc =
      "ReadRangeByPosition(reference_index, count)\n--\n\n"
      "ReadRange: `count` items from list position `reference_index` (1 = first) on; backwards when negative.";
  static inline PyGetSetDef attributes[] = {
      read_write<U32, &Fields::reference_index>("reference_index"),
      read_write<I32, &Fields::count>("count"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct ReadRangeBySequenceNumberClass {
  using Fields = services::RangeBySequenceNumber;
  static constexpr const char* name = "ferromesh.ReadRangeBySequenceNumber";
  static constexpr const char* doc =
      "ReadRangeBySequenceNumber(reference_sequence_number, count)\n--\n\n"
      "ReadRange: `count` items from the one with sequence number `reference_sequence_number` on; backwards\n"
      "when negative.";
  static inline PyGetSetDef attributes[] = {
      read_write<U32, &Fields::reference_sequence_number>("reference_sequence_number"),
      read_write<I32, &Fields::count>("count"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct ReadRangeByTimeClass {
  using Fields = RangeByTimeFields;
  static constexpr const char* name = "ferromesh.ReadRangeByTime";
  static constexpr const char* doc =
      "ReadRangeByTime(date, time, count)\n--\n\n"
      "ReadRange: `count` items time-stamped after `date` `time`; when negative, before it.";
  static inline PyGetSetDef attributes[] = {
      read_write<InstanceOf<property_value_date_type>, &Fields::date>("date"),
      read_write<InstanceOf<property_value_time_type>, &Fields::time>("time"),
      read_write<I32, &Fields::count>("count"),
      {},
  };
  static constexpr std::size_t required_arguments = 3;
};

// None or an instance of one of the three range classes.
struct RangeRef {
  using Value = PyRef;
  static bool from_py(PyObject* obj, const char* name, Value& out) {
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    for (PyTypeObject* (*type_getter)() :
         {read_range_by_position_type, read_range_by_sequence_number_type, read_range_by_time_type}) {
      PyTypeObject* type = type_getter();
      if (type == nullptr) return false;
      if (PyObject_TypeCheck(obj, type)) {
        out = PyRef::new_ref(obj);
        return true;
      }
    }
    PyErr_Format(PyExc_TypeError,
                 "%s must be a ReadRangeByPosition, ReadRangeBySequenceNumber, ReadRangeByTime or None, not %.200s",
                 name, Py_TYPE(obj)->tp_name);
    return false;
  }
  static PyObject* to_py(const Value& value) { return AnyObject::to_py(value); }
};

struct ServiceReadRangeClass {
  using Fields = ReadRangeRequestFields;
  static constexpr const char* name = "ferromesh.ServiceReadRange";
  static constexpr const char* doc =
      "ServiceReadRange(object_id, property_id, array_index=None, range=None)\n--\n\n"
      "Service: ReadRange request; without a range the whole list.";
  static inline PyGetSetDef attributes[] = {
      read_write<ObjectIdentifierRef, &Fields::object_id>("object_id"),
      read_write<U32, &Fields::property_id>("property_id"),
      read_write<Optional<U32>, &Fields::array_index>("array_index"),
      read_write<RangeRef, &Fields::range>("range"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct ServiceWhoIsRouterToNetworkClass {
  using Fields = WhoIsRouterRequest;
  static constexpr const char* name = "ferromesh.ServiceWhoIsRouterToNetwork";
  static constexpr const char* doc =
      "ServiceWhoIsRouterToNetwork(network=None)\n--\n\n"
      "Service: Who-Is-Router-To-Network, answered with I-Am-Router-To-Network by the\n"
      "routers that reach network (None: by every router, with all it reaches).";
  static inline PyGetSetDef attributes[] = {read_write<Optional<U16>, &Fields::network>("network"), {}};
  static constexpr std::size_t required_arguments = 0;
};

}  // namespace

PyTypeObject* property_write_type() { return type_of<PropertyWriteClass>(); }
PyTypeObject* write_access_spec_type() { return type_of<WriteAccessSpecClass>(); }
PyTypeObject* service_write_property_multiple_type() { return type_of<ServiceWritePropertyMultipleClass>(); }
PyTypeObject* read_range_by_position_type() { return type_of<ReadRangeByPositionClass>(); }
PyTypeObject* read_range_by_sequence_number_type() { return type_of<ReadRangeBySequenceNumberClass>(); }
PyTypeObject* read_range_by_time_type() { return type_of<ReadRangeByTimeClass>(); }
PyTypeObject* service_read_range_type() { return type_of<ServiceReadRangeClass>(); }

PyTypeObject* service_read_property_type() { return type_of<ServiceReadPropertyClass>(); }
PyTypeObject* service_write_property_type() { return type_of<ServiceWritePropertyClass>(); }
PyTypeObject* service_read_property_multiple_type() { return type_of<ServiceReadPropertyMultipleClass>(); }
PyTypeObject* read_access_spec_type() { return type_of<ReadAccessSpecClass>(); }
PyTypeObject* service_who_is_type() { return type_of<ServiceWhoIsClass>(); }
PyTypeObject* service_who_is_router_to_network_type() { return type_of<ServiceWhoIsRouterToNetworkClass>(); }

}  // namespace ferromesh::bindings
