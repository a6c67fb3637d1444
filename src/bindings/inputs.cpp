#include "bindings/inputs.hpp"

#include <utility>
#include <vector>

#include "bindings/addresses.hpp"
#include "bindings/convert.hpp"
#include "bindings/requests.hpp"
#include "bindings/values.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;
using BacnetAddrRef = InstanceOf<bacnet_addr_type>;

struct ReceivedFields {
  Bytes data;
  PyRef src;  // BacnetAddr
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, src); }
  void clear() { src.reset(); }
};

struct SendFields {
  PyRef service;  // any object; its class is looked at only when processed
  PyRef dest;     // BacnetAddr
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, service, dest); }
  void clear() {
    service.reset();
    dest.reset();
  }
};

struct InputReceivedClass {
  using Fields = ReceivedFields;
  static constexpr const char* name = "ferromesh.InputReceived";
  static constexpr const char* doc = "InputReceived(data, src)\n--\n\nInput: a UDP datagram was received.";
  static inline PyGetSetDef attributes[] = {
      read_write<Octets, &Fields::data>("data"),
      read_write<BacnetAddrRef, &Fields::src>("src"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct InputTickClass {
  using Fields = stack::input::Tick;
  static constexpr const char* name = "ferromesh.InputTick";
  static constexpr const char* doc =
      "InputTick(now)\n--\n\nInput: timer tick \u2014 inject current time (seconds since arbitrary epoch).";
  static inline PyGetSetDef attributes[] = {read_write<Float, &Fields::now>("now"), {}};
  static constexpr std::size_t required_arguments = 1;
};

struct InputSendClass {
  using Fields = SendFields;
  static constexpr const char* name = "ferromesh.InputSend";
  static constexpr const char* doc = "InputSend(service, dest)\n--\n\nInput: send a confirmed service request.";
  static inline PyGetSetDef attributes[] = {
      read_write<AnyObject, &Fields::service>("service"),
      read_write<BacnetAddrRef, &Fields::dest>("dest"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct InputSendUnconfirmedClass {
  using Fields = SendFields;
  static constexpr const char* name = "ferromesh.InputSendUnconfirmed";
  static constexpr const char* doc =
      "InputSendUnconfirmed(service, dest)\n--\n\n"
      "Input: send an unconfirmed service request, as a broadcast when dest is one\n"
      "(an address ending in .255).";
  static inline PyGetSetDef attributes[] = {
      read_write<AnyObject, &Fields::service>("service"),
      read_write<BacnetAddrRef, &Fields::dest>("dest"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct CancelFields {
  PyRef peer;  // BacnetAddr
  std::uint8_t invoke_id = 0;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, peer); }
  void clear() { peer.reset(); }
};

struct InputCancelClass {
  using Fields = CancelFields;
  static constexpr const char* name = "ferromesh.InputCancel";
  static constexpr const char* doc =
      "InputCancel(peer, invoke_id)\n--\n\n"
      "Input: take back the request sent to peer under invoke_id. It ends without\n"
      "an event and its invoke ID is free again; nothing more is sent for it but an\n"
      "Abort to a device in the middle of its segments. An unknown request: nothing.";
  static inline PyGetSetDef attributes[] = {
      read_write<BacnetAddrRef, &Fields::peer>("peer"),
      read_write<U8, &Fields::invoke_id>("invoke_id"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct RegisterFields {
  PyRef bbmd;  // BacnetAddr
  std::uint16_t ttl = 0;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, bbmd); }
  void clear() { bbmd.reset(); }
};

struct InputRegisterForeignDeviceClass {
  using Fields = RegisterFields;
  static constexpr const char* name = "ferromesh.InputRegisterForeignDevice";
  static constexpr const char* doc =
      "InputRegisterForeignDevice(bbmd, ttl)\n--\n\n"
      "Input: register with the BBMD at bbmd as a foreign device for ttl seconds\n"
      "(1..65535) and keep the registration alive; broadcasts then go through it.";
  static inline PyGetSetDef attributes[] = {
      read_write<BacnetAddrRef, &Fields::bbmd>("bbmd"),
      read_write<U16, &Fields::ttl>("ttl"),
      {},
  };
  static constexpr std::size_t required_arguments = 2;
};

struct NoFields {};

struct InputUnregisterForeignDeviceClass {
  using Fields = NoFields;
  static constexpr const char* name = "ferromesh.InputUnregisterForeignDevice";
  static constexpr const char* doc =
      "InputUnregisterForeignDevice()\n--\n\n"
      "Input: end the foreign-device registration; broadcasts go out locally again.";
  static inline PyGetSetDef attributes[] = {{}};
  static constexpr std::size_t required_arguments = 0;
};

// A reference the garbage collector emptied while breaking a cycle is no
// longer an object of the required class.
bool require(const PyRef& ref, PyTypeObject* type, const char* name) {
  if (type == nullptr) return false;
  if (ref && PyObject_TypeCheck(ref.get(), type)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a %s", name, type->tp_name);
  return false;
}

std::optional<stack::BacnetAddr> engine_addr(const PyRef& addr, const char* name) {
  if (!require(addr, bacnet_addr_type(), name)) return std::nullopt;
  return addr_to_engine(addr.get());
}

std::optional<ObjectIdentifier> engine_object_id(const PyRef& object_id) {
  if (!require(object_id, object_identifier_type(), "object_id")) return std::nullopt;
  return fields_of<ObjectIdentifier>(object_id.get());
}

std::optional<stack::BacnetService> read_property(PyObject* service) {
  const ReadPropertyRequest& request = fields_of<ReadPropertyRequest>(service);
  const auto object_id = engine_object_id(request.object_id);
  if (!object_id) return std::nullopt;
  return stack::service::ReadProperty{*object_id, PropertyIdentifier::from_u32(request.property_id),
                                      request.array_index};
}

std::optional<stack::BacnetService> read_property_multiple(PyObject* service) {
  const ReadPropertyMultipleRequest& request = fields_of<ReadPropertyMultipleRequest>(service);
  PyTypeObject* spec_type = read_access_spec_type();
  stack::service::ReadPropertyMultiple engine;
  engine.specs.reserve(request.specs.size());
  for (const PyRef& spec : request.specs) {
    if (!require(spec, spec_type, "specs item")) return std::nullopt;
    const ReadAccessSpecFields& fields = fields_of<ReadAccessSpecFields>(spec.get());
    const auto object_id = engine_object_id(fields.object_id);
    if (!object_id) return std::nullopt;
    services::ReadAccessSpec& converted = engine.specs.emplace_back();
    converted.object_id = *object_id;
    converted.properties.reserve(fields.properties.size());
    for (const PropertyNumbers& property : fields.properties) {
      converted.properties.push_back({PropertyIdentifier::from_u32(property.property_id), property.array_index});
    }
  }
  return engine;
}

std::optional<stack::BacnetService> write_property(PyObject* service) {
  const WritePropertyRequest& request = fields_of<WritePropertyRequest>(service);
  const auto object_id = engine_object_id(request.object_id);
  if (!object_id) return std::nullopt;
  std::optional<PropertyValue> value = py_to_property_value(request.value ? request.value.get() : Py_None);
  if (!value) return std::nullopt;
  return stack::service::WriteProperty{*object_id, PropertyIdentifier::from_u32(request.property_id),
                                       std::move(*value), request.array_index, request.priority};
}

std::optional<stack::BacnetService> write_property_multiple(PyObject* service) {
  const WritePropertyMultipleRequest& request = fields_of<WritePropertyMultipleRequest>(service);
  PyTypeObject* spec_type = write_access_spec_type();
  PyTypeObject* write_type = property_write_type();
  stack::service::WritePropertyMultiple engine;
  engine.specs.reserve(request.specs.size());
  for (const PyRef& spec : request.specs) {
    if (!require(spec, spec_type, "specs item")) return std::nullopt;
    const WriteAccessSpecFields& fields = fields_of<WriteAccessSpecFields>(spec.get());
    const auto object_id = engine_object_id(fields.object_id);
    if (!object_id) return std::nullopt;
    services::WriteAccessSpec converted{*object_id, {}};
    converted.properties.reserve(fields.properties.size());
    for (const PyRef& write : fields.properties) {
      if (!require(write, write_type, "properties item")) return std::nullopt;
      const PropertyWriteFields& property = fields_of<PropertyWriteFields>(write.get());
      auto value = py_to_property_value(property.value ? property.value.get() : Py_None);
      if (!value) return std::nullopt;
      converted.properties.push_back({PropertyIdentifier::from_u32(property.property_id), property.array_index,
                                      std::move(*value), property.priority});
    }
    engine.specs.push_back(std::move(converted));
  }
  return engine;
}

// Nothing with TypeError when a date or time reference was cleared by the
// garbage collector.
std::optional<services::Range> range_to_engine(PyObject* range) {
  if (PyObject_TypeCheck(range, read_range_by_position_type())) return fields_of<services::RangeByPosition>(range);
  if (PyObject_TypeCheck(range, read_range_by_sequence_number_type())) {
    return fields_of<services::RangeBySequenceNumber>(range);
  }
  const RangeByTimeFields& by_time = fields_of<RangeByTimeFields>(range);
  if (!require(by_time.date, property_value_date_type(), "date") ||
      !require(by_time.time, property_value_time_type(), "time")) {
    return std::nullopt;
  }
  const auto date = py_to_property_value(by_time.date.get());
  const auto time = py_to_property_value(by_time.time.get());
  if (!date || !time) return std::nullopt;
  return services::RangeByTime{std::get<PropertyValue::Date>(date->variant),
                               std::get<PropertyValue::Time>(time->variant), by_time.count};
}

std::optional<stack::BacnetService> read_range(PyObject* service) {
  const ReadRangeRequestFields& request = fields_of<ReadRangeRequestFields>(service);
  const auto object_id = engine_object_id(request.object_id);
  if (!object_id) return std::nullopt;
  stack::service::ReadRange engine{*object_id, PropertyIdentifier::from_u32(request.property_id),
                                   request.array_index, std::nullopt};
  if (request.range) {
    auto range = range_to_engine(request.range.get());
    if (!range) return std::nullopt;
    engine.range = std::move(*range);
  }
  return engine;
}

// Tests the service classes in their fixed order; subclasses count.
std::optional<stack::BacnetService> service_to_engine(PyObject* service) {
  using Converter = std::optional<stack::BacnetService> (*)(PyObject*);
  const std::pair<PyTypeObject* (*)(), Converter> kServices[] = {
      {service_read_property_type, read_property},
      {service_read_property_multiple_type, read_property_multiple},
      {service_write_property_type, write_property},
      {service_write_property_multiple_type, write_property_multiple},
      {service_read_range_type, read_range},
  };
  for (const auto& [type_getter, convert_service] : kServices) {
    PyTypeObject* type = type_getter();
    if (type == nullptr) return std::nullopt;
    if (PyObject_TypeCheck(service, type)) return convert_service(service);
  }
  PyErr_SetString(PyExc_ValueError, "Unknown service type");
  return std::nullopt;
}

std::optional<stack::UnconfirmedService> unconfirmed_to_engine(PyObject* service) {
  PyTypeObject* who_is = service_who_is_type();
  if (who_is == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(service, who_is)) {
    const WhoIsRequest& limits = fields_of<WhoIsRequest>(service);
    return stack::service::WhoIs{limits.low, limits.high};
  }
  PyTypeObject* who_is_router = service_who_is_router_to_network_type();
  if (who_is_router == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(service, who_is_router)) {
    return stack::service::WhoIsRouterToNetwork{fields_of<WhoIsRouterRequest>(service).network};
  }
  PyErr_SetString(PyExc_ValueError, "Unknown service type");
  return std::nullopt;
}

std::optional<stack::Input> received_to_engine(PyObject* input) {
  const ReceivedFields& fields = fields_of<ReceivedFields>(input);
  const auto src = engine_addr(fields.src, "src");
  if (!src) return std::nullopt;
  return stack::input::Received{fields.data, *src};
}

std::optional<stack::Input> send_to_engine(PyObject* input) {
  const SendFields& fields = fields_of<SendFields>(input);
  // The address is reported before anything about the service.
  const auto dest = engine_addr(fields.dest, "dest");
  if (!dest) return std::nullopt;
  auto service = service_to_engine(fields.service ? fields.service.get() : Py_None);
  if (!service) return std::nullopt;
  return stack::input::Send{std::move(*service), *dest};
}

std::optional<stack::Input> send_unconfirmed_to_engine(PyObject* input) {
  const SendFields& fields = fields_of<SendFields>(input);
  const auto dest = engine_addr(fields.dest, "dest");
  if (!dest) return std::nullopt;
  auto service = unconfirmed_to_engine(fields.service ? fields.service.get() : Py_None);
  if (!service) return std::nullopt;
  return stack::input::SendUnconfirmed{std::move(*service), *dest};
}

std::optional<stack::Input> cancel_to_engine(PyObject* input) {
  const CancelFields& fields = fields_of<CancelFields>(input);
  const auto peer = engine_addr(fields.peer, "peer");
  if (!peer) return std::nullopt;
  return stack::input::Cancel{*peer, fields.invoke_id};
}

std::optional<stack::Input> register_to_engine(PyObject* input) {
  const RegisterFields& fields = fields_of<RegisterFields>(input);
  const auto bbmd = engine_addr(fields.bbmd, "bbmd");
  if (!bbmd) return std::nullopt;
  if (fields.ttl == 0) {
    PyErr_SetString(PyExc_ValueError, "ttl must be 1..65535 seconds");
    return std::nullopt;
  }
  return stack::input::RegisterForeignDevice{*bbmd, fields.ttl};
}

}  // namespace

PyTypeObject* input_received_type() { return type_of<InputReceivedClass>(); }
PyTypeObject* input_tick_type() { return type_of<InputTickClass>(); }
PyTypeObject* input_send_type() { return type_of<InputSendClass>(); }
PyTypeObject* input_send_unconfirmed_type() { return type_of<InputSendUnconfirmedClass>(); }
PyTypeObject* input_cancel_type() { return type_of<InputCancelClass>(); }
PyTypeObject* input_register_foreign_device_type() { return type_of<InputRegisterForeignDeviceClass>(); }
PyTypeObject* input_unregister_foreign_device_type() { return type_of<InputUnregisterForeignDeviceClass>(); }

std::optional<stack::Input> input_to_engine(PyObject* input) {
  PyTypeObject* received = input_received_type();
  if (received == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, received)) return received_to_engine(input);

  PyTypeObject* tick = input_tick_type();
  if (tick == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, tick)) return fields_of<stack::input::Tick>(input);

  PyTypeObject* send = input_send_type();
  if (send == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, send)) return send_to_engine(input);

  PyTypeObject* send_unconfirmed = input_send_unconfirmed_type();
  if (send_unconfirmed == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, send_unconfirmed)) return send_unconfirmed_to_engine(input);

  PyTypeObject* cancel = input_cancel_type();
  if (cancel == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, cancel)) return cancel_to_engine(input);

  PyTypeObject* register_type = input_register_foreign_device_type();
  if (register_type == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, register_type)) return register_to_engine(input);

  PyTypeObject* unregister_type = input_unregister_foreign_device_type();
  if (unregister_type == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(input, unregister_type)) return stack::input::UnregisterForeignDevice{};

  PyErr_SetString(PyExc_ValueError, "Expected InputReceived, InputTick, or InputSend");
  return std::nullopt;
}

}  // namespace ferromesh::bindings
