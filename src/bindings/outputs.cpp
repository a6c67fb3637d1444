#include "bindings/outputs.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "bindings/addresses.hpp"
#include "bindings/convert.hpp"
#include "bindings/enums.hpp"
#include "bindings/exceptions.hpp"
#include "bindings/values.hpp"

namespace ferromesh::bindings {

namespace {

using namespace convert;

// Network numbers read back as a new list of ints.
struct NetworkList {
  using Value = std::vector<std::uint16_t>;
  static PyObject* to_py(const Value& value) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < value.size(); ++i) {
      PyObject* number = U16::to_py(value[i]);
      if (number == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
  }
};

struct TransmitFields {
  PyRef dest;  // BacnetAddr
  Bytes data;
  std::optional<std::uint8_t> invoke_id;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, dest); }
  void clear() { dest.reset(); }
};

struct OutputTransmitClass {
  using Fields = TransmitFields;
  static constexpr const char* name = "ferromesh.OutputTransmit";
  static constexpr const char* doc = "Output: transmit bytes to a destination.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::dest>("dest"),
      read_only<Octets, &Fields::data>("data"),
      read_only<OctetBytes, &Fields::data>("data_bytes"),
      read_only<Optional<U8>, &Fields::invoke_id>(
          "invoke_id", "Invoke ID of the request this datagram carries; None for other datagrams (SegmentACKs)."),
      {},
  };
};

struct OutputDeadlineClass {
  using Fields = stack::output::Deadline;
  static constexpr const char* name = "ferromesh.OutputDeadline";
  static constexpr const char* doc = "Output: call Tick no later than this time.";
  static inline PyGetSetDef attributes[] = {read_only<Float, &Fields::deadline>("deadline"), {}};
};

struct EventHolder {
  PyRef event;  // one of the five event objects
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, event); }
  void clear() { event.reset(); }
};

struct OutputEventClass {
  using Fields = EventHolder;
  static constexpr const char* name = "ferromesh.OutputEvent";
  static constexpr const char* doc = "Output: a BACnet event occurred.";
  static inline PyGetSetDef attributes[] = {read_only<AnyObject, &Fields::event>("event"), {}};
};

// Every event about a request names the device, which the invoke ID alone
// does not: IDs are allocated per destination.
struct ResponseFields {
  std::uint8_t invoke_id = 0;
  Bytes payload;
  PyRef peer;  // BacnetAddr
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, peer); }
  void clear() { peer.reset(); }
};

struct TimeoutFields {
  std::uint8_t invoke_id = 0;
  PyRef peer;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, peer); }
  void clear() { peer.reset(); }
};

struct AbortFields {
  std::uint8_t invoke_id = 0;
  std::uint8_t reason = 0;
  PyRef peer;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, peer); }
  void clear() { peer.reset(); }
};

// A text the module owns for the life of the process.
struct StaticText {
  using Value = const char*;
  static PyObject* to_py(Value value) { return PyUnicode_FromString(value); }
};

struct ErrorFields {
  std::uint8_t invoke_id = 0;
  std::string message;
  PyRef peer;
  Bytes payload;
  const char* kind = "local";
  PyRef error_class;  // an ErrorClass member (or int), or None
  PyRef error_code;   // an ErrorCode member (or int), or None
  std::optional<std::uint8_t> reject_reason;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, peer, error_class, error_code); }
  void clear() {
    peer.reset();
    error_class.reset();
    error_code.reset();
  }
};

struct UnconfirmedFields {
  PyRef src;      // BacnetAddr
  PyRef message;  // UnconfirmedIAm or one of the routers' messages
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, src, message); }
  void clear() {
    src.reset();
    message.reset();
  }
};

struct EventResponseClass {
  using Fields = ResponseFields;
  static constexpr const char* name = "ferromesh.EventResponse";
  static constexpr const char* doc = "Event: confirmed response received.";
  static inline PyGetSetDef attributes[] = {
      read_only<U8, &Fields::invoke_id>("invoke_id"),
      read_only<Octets, &Fields::payload>("payload"),
      read_only<AnyObject, &Fields::peer>("peer"),
      read_only<OctetBytes, &Fields::payload>("payload_bytes"),
      {},
  };
};

struct EventTimeoutClass {
  using Fields = TimeoutFields;
  static constexpr const char* name = "ferromesh.EventTimeout";
  static constexpr const char* doc = "Event: request timed out.";
  static inline PyGetSetDef attributes[] = {
      read_only<U8, &Fields::invoke_id>("invoke_id"),
      read_only<AnyObject, &Fields::peer>("peer"),
      {},
  };
};

struct EventAbortClass {
  using Fields = AbortFields;
  static constexpr const char* name = "ferromesh.EventAbort";
  static constexpr const char* doc = "Event: server sent Abort PDU.";
  static inline PyGetSetDef attributes[] = {
      read_only<U8, &Fields::invoke_id>("invoke_id"),
      read_only<U8, &Fields::reason>("reason"),
      read_only<AnyObject, &Fields::peer>("peer"),
      {},
  };
};

struct EventErrorClass {
  using Fields = ErrorFields;
  static constexpr const char* name = "ferromesh.EventError";
  static constexpr const char* doc = "Event: BACnet error or local error.";
  static inline PyGetSetDef attributes[] = {
      read_only<U8, &Fields::invoke_id>("invoke_id"),
      read_only<Text, &Fields::message>("message"),
      read_only<AnyObject, &Fields::peer>("peer"),
      read_only<Octets, &Fields::payload>("payload"),
      read_only<StaticText, &Fields::kind>(
          "kind",
          "\"error\" (a BACnet Error), \"reject\" (a Reject), \"network\" (a router's Reject-Message-To-Network) or "
          "\"local\" (the request was not sent)."),
      read_only<AnyObject, &Fields::error_class>("error_class", "ErrorClass of a BACnet Error, else None."),
      read_only<AnyObject, &Fields::error_code>("error_code", "ErrorCode of a BACnet Error, else None."),
      read_only<Optional<U8>, &Fields::reject_reason>(
          "reject_reason", "Reason of a Reject or of a router's Reject-Message-To-Network, else None."),
      {},
  };
};

struct EventUnconfirmedReceivedClass {
  using Fields = UnconfirmedFields;
  static constexpr const char* name = "ferromesh.EventUnconfirmedReceived";
  static constexpr const char* doc = "Event: unconfirmed message received.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::src>("src"),
      read_only<AnyObject, &Fields::message>("message"),
      {},
  };
};

struct IAmFields {
  PyRef device_id;  // ObjectIdentifier
  std::uint32_t max_apdu = 0;
  std::uint8_t segmentation = 0;
  std::uint32_t vendor_id = 0;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, device_id); }
  void clear() { device_id.reset(); }
};

struct UnconfirmedIAmClass {
  using Fields = IAmFields;
  static constexpr const char* name = "ferromesh.UnconfirmedIAm";
  static constexpr const char* doc = "Unconfirmed I-Am message.";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::device_id>("device_id"),
      read_only<U32, &Fields::max_apdu>("max_apdu"),
      read_only<U8, &Fields::segmentation>("segmentation"),
      read_only<U32, &Fields::vendor_id>("vendor_id"),
      {},
  };
};

struct UnconfirmedIAmRouterToNetworkClass {
  using Fields = stack::IAmRouterToNetwork;
  static constexpr const char* name = "ferromesh.UnconfirmedIAmRouterToNetwork";
  static constexpr const char* doc = "Unconfirmed IAmRouterToNetwork message.";
  static inline PyGetSetDef attributes[] = {read_only<NetworkList, &Fields::networks>("networks"), {}};
};

struct UnconfirmedRejectMessageToNetworkClass {
  using Fields = stack::RejectMessageToNetwork;
  static constexpr const char* name = "ferromesh.UnconfirmedRejectMessageToNetwork";
  static constexpr const char* doc =
      "Unconfirmed Reject-Message-To-Network message: a router could not pass a message\n"
      "on to network (reason 1: unreachable, 2: busy, ...).";
  static inline PyGetSetDef attributes[] = {
      read_only<U8, &Fields::reason>("reason"),
      read_only<U16, &Fields::network>("network"),
      {},
  };
};

struct UnconfirmedRouterBusyToNetworkClass {
  using Fields = stack::RouterBusyToNetwork;
  static constexpr const char* name = "ferromesh.UnconfirmedRouterBusyToNetwork";
  static constexpr const char* doc =
      "Unconfirmed Router-Busy-To-Network message: the router takes no traffic for these\n"
      "networks for now (an empty list: for any).";
  static inline PyGetSetDef attributes[] = {read_only<NetworkList, &Fields::networks>("networks"), {}};
};

struct UnconfirmedRouterAvailableToNetworkClass {
  using Fields = stack::RouterAvailableToNetwork;
  static constexpr const char* name = "ferromesh.UnconfirmedRouterAvailableToNetwork";
  static constexpr const char* doc =
      "Unconfirmed Router-Available-To-Network message: the router takes traffic for these\n"
      "networks again (an empty list: for all).";
  static inline PyGetSetDef attributes[] = {read_only<NetworkList, &Fields::networks>("networks"), {}};
};

struct BvlcResultFields {
  PyRef src;  // BacnetAddr
  std::uint16_t result = 0;
  int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, src); }
  void clear() { src.reset(); }
};

struct EventBvlcResultClass {
  using Fields = BvlcResultFields;
  static constexpr const char* name = "ferromesh.EventBvlcResult";
  static constexpr const char* doc =
      "Event: BVLC-Result received, result 0 for success or the code of a NAK\n"
      "(0x30: foreign-device registration refused, 0x60: broadcast not distributed).";
  static inline PyGetSetDef attributes[] = {
      read_only<AnyObject, &Fields::src>("src"),
      read_only<U16, &Fields::result>("result"),
      {},
  };
};

PyObject* message_to_py(services::IAm&& i_am) {
  IAmFields fields{PyRef::steal(object_identifier_to_py(i_am.device_id)), i_am.max_apdu, i_am.segmentation,
                   i_am.vendor_id};
  if (!fields.device_id) return nullptr;
  return new_object<UnconfirmedIAmClass>(std::move(fields));
}

PyObject* message_to_py(stack::IAmRouterToNetwork&& message) {
  return new_object<UnconfirmedIAmRouterToNetworkClass>(std::move(message));
}

PyObject* message_to_py(stack::RejectMessageToNetwork&& message) {
  return new_object<UnconfirmedRejectMessageToNetworkClass>(message);
}

PyObject* message_to_py(stack::RouterBusyToNetwork&& message) {
  return new_object<UnconfirmedRouterBusyToNetworkClass>(std::move(message));
}

PyObject* message_to_py(stack::RouterAvailableToNetwork&& message) {
  return new_object<UnconfirmedRouterAvailableToNetworkClass>(std::move(message));
}

PyObject* event_to_py(stack::event::BvlcResult&& event) {
  PyRef src = PyRef::steal(addr_to_py(event.src));
  if (!src) return nullptr;
  return new_object<EventBvlcResultClass>(BvlcResultFields{std::move(src), event.result});
}

PyObject* event_to_py(stack::event::Response&& event) {
  PyRef peer = PyRef::steal(addr_to_py(event.peer));
  if (!peer) return nullptr;
  return new_object<EventResponseClass>(ResponseFields{event.invoke_id, std::move(event.payload), std::move(peer)});
}

PyObject* event_to_py(stack::event::Timeout&& event) {
  PyRef peer = PyRef::steal(addr_to_py(event.peer));
  if (!peer) return nullptr;
  return new_object<EventTimeoutClass>(TimeoutFields{event.invoke_id, std::move(peer)});
}

PyObject* event_to_py(stack::event::Abort&& event) {
  PyRef peer = PyRef::steal(addr_to_py(event.peer));
  if (!peer) return nullptr;
  return new_object<EventAbortClass>(AbortFields{event.invoke_id, event.reason, std::move(peer)});
}

const char* kind_text(stack::event::ErrorKind kind) {
  switch (kind) {
    case stack::event::ErrorKind::Error: return "error";
    case stack::event::ErrorKind::Reject: return "reject";
    case stack::event::ErrorKind::Network: return "network";
    default: return "local";
  }
}

PyRef optional_enum(const std::optional<std::uint32_t>& number, PyObject* (*to_py)(std::uint32_t)) {
  return number ? PyRef::steal(to_py(*number)) : PyRef::new_ref(Py_None);
}

PyObject* event_to_py(stack::event::Error&& event) {
  if (event.kind == stack::event::ErrorKind::NoInvokeId) {
    PyObject* type = invoke_id_exhausted_error();
    if (type == nullptr) return nullptr;
    PyRef message = PyRef::steal(Text::to_py(event.message));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
  }
  ErrorFields fields{event.invoke_id, std::move(event.message), PyRef::steal(addr_to_py(event.peer)),
                     std::move(event.payload), kind_text(event.kind), PyRef(), PyRef(), event.reject_reason};
  if (!fields.peer) return nullptr;
  fields.error_class = optional_enum(event.error_class, error_class_to_py);
  if (!fields.error_class) return nullptr;
  fields.error_code = optional_enum(event.error_code, error_code_to_py);
  if (!fields.error_code) return nullptr;
  return new_object<EventErrorClass>(std::move(fields));
}

PyObject* event_to_py(stack::event::UnconfirmedReceived&& event) {
  UnconfirmedFields fields{PyRef::steal(addr_to_py(event.src)), PyRef()};
  if (!fields.src) return nullptr;
  fields.message = PyRef::steal(
      std::visit([](auto&& message) { return message_to_py(std::move(message)); }, std::move(event.message)));
  if (!fields.message) return nullptr;
  return new_object<EventUnconfirmedReceivedClass>(std::move(fields));
}

PyObject* output_to_py(stack::output::Transmit&& transmit) {
  PyRef dest = PyRef::steal(addr_to_py(transmit.dest));
  if (!dest) return nullptr;
  return new_object<OutputTransmitClass>(TransmitFields{std::move(dest), std::move(transmit.data), transmit.invoke_id});
}

PyObject* output_to_py(stack::output::Deadline&& deadline) { return new_object<OutputDeadlineClass>(deadline); }

PyObject* output_to_py(stack::output::Event&& wrapped) {
  PyRef event = PyRef::steal(
      std::visit([](auto&& alternative) { return event_to_py(std::move(alternative)); }, std::move(wrapped.event)));
  if (!event) return nullptr;
  return new_object<OutputEventClass>(EventHolder{std::move(event)});
}

}  // namespace

PyTypeObject* output_transmit_type() { return type_of<OutputTransmitClass>(); }
PyTypeObject* output_event_type() { return type_of<OutputEventClass>(); }
PyTypeObject* output_deadline_type() { return type_of<OutputDeadlineClass>(); }
PyTypeObject* event_response_type() { return type_of<EventResponseClass>(); }
PyTypeObject* event_timeout_type() { return type_of<EventTimeoutClass>(); }
PyTypeObject* event_abort_type() { return type_of<EventAbortClass>(); }
PyTypeObject* event_error_type() { return type_of<EventErrorClass>(); }
PyTypeObject* event_unconfirmed_received_type() { return type_of<EventUnconfirmedReceivedClass>(); }
PyTypeObject* unconfirmed_i_am_type() { return type_of<UnconfirmedIAmClass>(); }
PyTypeObject* unconfirmed_i_am_router_to_network_type() { return type_of<UnconfirmedIAmRouterToNetworkClass>(); }
PyTypeObject* event_bvlc_result_type() { return type_of<EventBvlcResultClass>(); }
PyTypeObject* unconfirmed_reject_message_to_network_type() {
  return type_of<UnconfirmedRejectMessageToNetworkClass>();
}
PyTypeObject* unconfirmed_router_busy_to_network_type() { return type_of<UnconfirmedRouterBusyToNetworkClass>(); }
PyTypeObject* unconfirmed_router_available_to_network_type() {
  return type_of<UnconfirmedRouterAvailableToNetworkClass>();
}

PyObject* outputs_to_py(std::vector<stack::Output>&& outputs) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (stack::Output& output : outputs) {
    PyRef item =
        PyRef::steal(std::visit([](auto&& alternative) { return output_to_py(std::move(alternative)); },
                                std::move(output)));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

}  // namespace ferromesh::bindings
