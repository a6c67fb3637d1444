#include "bindings/notifications.hpp"

#include <string>
#include <utility>
#include <vector>

#include "bindings/addresses.hpp"
#include "bindings/convert.hpp"
#include "bindings/enums.hpp"
#include "bindings/values.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;

// A reference made at conversion, handed back as that same object.
PyRef steal(PyObject* obj) { return PyRef::steal(obj); }

struct NotifiedValueFields {
  PyRef property_id;  // PropertyIdentifier member or int
  std::optional<std::uint32_t> array_index;
  PyRef value;  // PropertyValue* object
  std::optional<std::uint8_t> priority;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, property_id, value); }
  void clear() {
    property_id.reset();
    value.reset();
  }
};

struct NotifiedValueClass {
  using Fields = NotifiedValueFields;
  static constexpr const char* name = "ferromesh.NotifiedValue";
  static constexpr const char* doc = "One property value of a COV notification.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::property_id>("property_id"),
      read_only<Optional<U32>, &Fields::array_index>("array_index"),
      read_only<AnyObject, &Fields::value>("value"),
      read_only<Optional<U8>, &Fields::priority>("priority"),
      {},
  };
};

struct CovNotificationFields {
  PyRef src;  // BacnetAddr
  bool confirmed = false;
  std::uint32_t process_id = 0;
  PyRef initiating_device;  // ObjectIdentifier
  PyRef monitored_object;   // ObjectIdentifier
  std::uint32_t time_remaining = 0;
  PyRef values;  // list of NotifiedValue
  int traverse(visitproc visit, void* arg) const {
    return visit_refs(visit, arg, src, initiating_device, monitored_object, values);
  }
  void clear() {
    src.reset();
    initiating_device.reset();
    monitored_object.reset();
    values.reset();
  }
};

struct EventCovNotificationClass {
  using Fields = CovNotificationFields;
  static constexpr const char* name = "ferromesh.EventCOVNotification";
  static constexpr const char* doc =
      "Event: COV notification received; a confirmed one has been acknowledged with a SimpleACK.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::src>("src"),
      read_only<Bool, &Fields::confirmed>("confirmed"),
      read_only<U32, &Fields::process_id>("process_id"),
      read_only<AnyObject, &Fields::initiating_device>("initiating_device"),
      read_only<AnyObject, &Fields::monitored_object>("monitored_object"),
      read_only<U32, &Fields::time_remaining>("time_remaining"),
      read_only<AnyObject, &Fields::values>("values"),
      {},
  };
};

struct EventNotificationFields {
  PyRef src;  // BacnetAddr
  bool confirmed = false;
  std::uint32_t process_id = 0;
  PyRef initiating_device;  // ObjectIdentifier
  PyRef event_object;       // ObjectIdentifier
  PyRef time_stamp;         // PropertyValueContext or PropertyValueConstructed
  std::uint32_t notification_class = 0;
  std::uint8_t priority = 0;
  std::uint32_t event_type = 0;
  std::optional<std::string> message_text;
  std::uint32_t notify_type = 0;
  std::optional<bool> ack_required;
  std::optional<std::uint32_t> from_state;
  std::uint32_t to_state = 0;
  PyRef event_values;  // PropertyValueConstructed, or None
  int traverse(visitproc visit, void* arg) const {
    return visit_refs(visit, arg, src, initiating_device, event_object, time_stamp, event_values);
  }
  void clear() {
    src.reset();
    initiating_device.reset();
    event_object.reset();
    time_stamp.reset();
    event_values.reset();
  }
};

struct EventEventNotificationClass {
  using Fields = EventNotificationFields;
  static constexpr const char* name = "ferromesh.EventEventNotification";
  static constexpr const char* doc =
      "Event: event notification (alarm, fault, acknowledgement...) received; a confirmed one has been\n"
      "acknowledged with a SimpleACK. time_stamp and event_values are the lossless tree; event_type,\n"
      "notify_type and the states are the numbers of their enumerations.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::src>("src"),
      read_only<Bool, &Fields::confirmed>("confirmed"),
      read_only<U32, &Fields::process_id>("process_id"),
      read_only<AnyObject, &Fields::initiating_device>("initiating_device"),
      read_only<AnyObject, &Fields::event_object>("event_object"),
      read_only<AnyObject, &Fields::time_stamp>("time_stamp"),
      read_only<U32, &Fields::notification_class>("notification_class"),
      read_only<U8, &Fields::priority>("priority"),
      read_only<U32, &Fields::event_type>("event_type"),
      read_only<Optional<Text>, &Fields::message_text>("message_text"),
      read_only<U32, &Fields::notify_type>("notify_type"),
      read_only<Optional<Bool>, &Fields::ack_required>("ack_required"),
      read_only<Optional<U32>, &Fields::from_state>("from_state"),
      read_only<U32, &Fields::to_state>("to_state"),
      read_only<AnyObject, &Fields::event_values>("event_values"),
      {},
  };
};

PyObject* values_to_py(std::vector<services::NotifiedValue>&& values) {
  PyRef list = steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    services::NotifiedValue& value = values[i];
    NotifiedValueFields fields{steal(property_id_to_py(value.property_id.to_u32())), value.array_index, PyRef(),
                               value.priority};
    if (!fields.property_id) return nullptr;
    fields.value = steal(property_value_to_py(std::move(value.value)));
    if (!fields.value) return nullptr;
    PyObject* item = new_object<NotifiedValueClass>(std::move(fields));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyTypeObject* notified_value_type() { return type_of<NotifiedValueClass>(); }
PyTypeObject* event_cov_notification_type() { return type_of<EventCovNotificationClass>(); }
PyTypeObject* event_event_notification_type() { return type_of<EventEventNotificationClass>(); }

PyObject* notification_to_py(stack::event::CovNotification&& event) {
  services::CovNotification& n = event.notification;
  CovNotificationFields fields{steal(addr_to_py(event.src)), event.confirmed, n.process_id, PyRef(), PyRef(),
                               n.time_remaining, PyRef()};
  if (!fields.src) return nullptr;
  fields.initiating_device = steal(object_identifier_to_py(n.initiating_device));
  if (!fields.initiating_device) return nullptr;
  fields.monitored_object = steal(object_identifier_to_py(n.monitored_object));
  if (!fields.monitored_object) return nullptr;
  fields.values = steal(values_to_py(std::move(n.values)));
  if (!fields.values) return nullptr;
  return new_object<EventCovNotificationClass>(std::move(fields));
}

PyObject* notification_to_py(stack::event::EventNotification&& event) {
  services::EventNotification& n = event.notification;
  EventNotificationFields fields;
  fields.confirmed = event.confirmed;
  fields.process_id = n.process_id;
  fields.notification_class = n.notification_class;
  fields.priority = n.priority;
  fields.event_type = n.event_type;
  if (n.message_text) fields.message_text = std::move(n.message_text->value);
  fields.notify_type = n.notify_type;
  fields.ack_required = n.ack_required;
  fields.from_state = n.from_state;
  fields.to_state = n.to_state;
  fields.src = steal(addr_to_py(event.src));
  if (!fields.src) return nullptr;
  fields.initiating_device = steal(object_identifier_to_py(n.initiating_device));
  if (!fields.initiating_device) return nullptr;
  fields.event_object = steal(object_identifier_to_py(n.event_object));
  if (!fields.event_object) return nullptr;
  fields.time_stamp = steal(property_value_to_py(std::move(n.time_stamp)));
  if (!fields.time_stamp) return nullptr;
  fields.event_values =
      n.event_values ? steal(property_value_to_py(std::move(*n.event_values))) : PyRef::new_ref(Py_None);
  if (!fields.event_values) return nullptr;
  return new_object<EventEventNotificationClass>(std::move(fields));
}

}  // namespace ferromesh::bindings
