#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/py_class.hpp"
#include "services/records.hpp"

// The service request classes. Their object fields hold references to the
// very objects given (an ObjectIdentifier, ReadAccessSpec or any value), so
// changing those objects later changes the request; such a reference is null
// only after the garbage collector has cleared a reference cycle.
namespace ferromesh::bindings {

struct ReadPropertyRequest {
  PyRef object_id;  // ObjectIdentifier
  std::uint32_t property_id = 0;
  std::optional<std::uint32_t> array_index;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id); }
  void clear() { object_id.reset(); }
};

struct WritePropertyRequest {
  PyRef object_id;  // ObjectIdentifier
  std::uint32_t property_id = 0;
  PyRef value;  // any object; converted with py_to_property_value when sent
  std::optional<std::uint32_t> array_index;
  std::optional<std::uint8_t> priority;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id, value); }
  void clear() {
    object_id.reset();
    value.reset();
  }
};

struct PropertyNumbers {
  std::uint32_t property_id = 0;
  std::optional<std::uint32_t> array_index;
};

struct ReadAccessSpecFields {
  PyRef object_id;  // ObjectIdentifier
  std::vector<PropertyNumbers> properties;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id); }
  void clear() { object_id.reset(); }
};

struct ReadPropertyMultipleRequest {
  std::vector<PyRef> specs;  // ReadAccessSpec objects, in order
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, specs); }
  void clear() { specs.clear(); }
};

// Always both limits or neither, low <= high <= 4194303: checked when made.
struct WhoIsRequest {
  std::optional<std::uint32_t> low;
  std::optional<std::uint32_t> high;
};

struct PropertyWriteFields {
  std::uint32_t property_id = 0;
  PyRef value;  // any object; converted with py_to_property_value when sent
  std::optional<std::uint32_t> array_index;
  std::optional<std::uint8_t> priority;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, value); }
  void clear() { value.reset(); }
};

struct WriteAccessSpecFields {
  PyRef object_id;                // ObjectIdentifier
  std::vector<PyRef> properties;  // PropertyWrite objects, in order
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id, properties); }
  void clear() {
    object_id.reset();
    properties.clear();
  }
};

struct WritePropertyMultipleRequest {
  std::vector<PyRef> specs;  // WriteAccessSpec objects, in order
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, specs); }
  void clear() { specs.clear(); }
};

struct RangeByTimeFields {
  PyRef date;  // PropertyValueDate
  PyRef time;  // PropertyValueTime
  std::int32_t count = 0;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, date, time); }
  void clear() {
    date.reset();
    time.reset();
  }
};

struct ReadRangeRequestFields {
  PyRef object_id;  // ObjectIdentifier
  std::uint32_t property_id = 0;
  std::optional<std::uint32_t> array_index;
  PyRef range;  // one of the three range classes, or null for the whole list
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, object_id, range); }
  void clear() {
    object_id.reset();
    range.reset();
  }
};

struct WhoIsRouterRequest {
  std::optional<std::uint16_t> network;
};

// Instances hold the structs above: read them with fields_of<...>(obj).
PyTypeObject* service_read_property_type();
PyTypeObject* service_write_property_type();
PyTypeObject* service_read_property_multiple_type();
PyTypeObject* read_access_spec_type();
PyTypeObject* service_who_is_type();
PyTypeObject* property_write_type();
PyTypeObject* write_access_spec_type();
PyTypeObject* service_write_property_multiple_type();
// Instances hold services::RangeByPosition, services::RangeBySequenceNumber
// and RangeByTimeFields.
PyTypeObject* read_range_by_position_type();
PyTypeObject* read_range_by_sequence_number_type();
PyTypeObject* read_range_by_time_type();
PyTypeObject* service_read_range_type();
PyTypeObject* service_who_is_router_to_network_type();

}  // namespace ferromesh::bindings
