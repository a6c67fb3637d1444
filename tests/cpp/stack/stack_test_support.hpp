#pragma once

// Shared vocabulary of the engine tests: addresses, requests, datagrams built
// the way a device frames them, output filters, and table checks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "stack/stack.hpp"

namespace ferromesh::stack {

inline std::ostream& operator<<(std::ostream& os, const BacnetAddr& a) {
  os << int{a.addr[0]} << '.' << int{a.addr[1]} << '.' << int{a.addr[2]} << '.' << int{a.addr[3]} << ':' << a.port;
  if (a.remote()) os << '/' << a.network << (a.mac_length != 0 ? ":" : "");
  for (const std::uint8_t octet : a.mac_octets()) os << "0123456789abcdef"[octet >> 4] << "0123456789abcdef"[octet & 15];
  return os;
}

namespace test {

inline std::string hex(const Bytes& bytes) {
  std::ostringstream os;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    os << (i == 0 ? "" : " ") << kDigits[bytes[i] >> 4] << kDigits[bytes[i] & 0x0F];
  }
  return os.str();
}

}  // namespace test

namespace event {

inline void PrintTo(const Response& e, std::ostream* os) {
  *os << "Response(" << int{e.invoke_id} << ", [" << test::hex(e.payload) << "], " << e.peer << ")";
}
inline void PrintTo(const Timeout& e, std::ostream* os) {
  *os << "Timeout(" << int{e.invoke_id} << ", " << e.peer << ")";
}
inline void PrintTo(const Abort& e, std::ostream* os) {
  *os << "Abort(" << int{e.invoke_id} << ", reason " << int{e.reason} << ", " << e.peer << ")";
}
inline void PrintTo(const Error& e, std::ostream* os) {
  const auto number = [](const auto& field) { return field ? std::to_string(*field) : std::string("-"); };
  *os << "Error(" << int{e.invoke_id} << ", \"" << e.message << "\", " << e.peer << ", kind "
      << static_cast<int>(e.kind) << ", class " << number(e.error_class) << ", code " << number(e.error_code)
      << ", reject " << number(e.reject_reason) << ")";
}
inline void PrintTo(const UnconfirmedReceived& e, std::ostream* os) {
  *os << "UnconfirmedReceived(" << e.src << ", message kind " << e.message.index() << ")";
}
inline void PrintTo(const BvlcResult& e, std::ostream* os) {
  *os << "BvlcResult(" << e.src << ", " << e.result << ")";
}

}  // namespace event

namespace output {

inline void PrintTo(const Transmit& o, std::ostream* os) {
  *os << "Transmit(" << o.dest << ", [" << test::hex(o.data) << "], invoke ID "
      << (o.invoke_id ? std::to_string(*o.invoke_id) : std::string("none")) << ")";
}
inline void PrintTo(const Deadline& o, std::ostream* os) { *os << "Deadline(" << o.deadline << ")"; }
inline void PrintTo(const Event& o, std::ostream* os) {
  std::visit([os](const auto& e) { PrintTo(e, os); }, o.event);
}

}  // namespace output

namespace test {

inline constexpr std::uint16_t kBacnetPort = 47808;
inline const BacnetAddr kDevice{{10, 0, 0, 2}, kBacnetPort};
inline const BacnetAddr kOtherDevice{{10, 0, 0, 3}, kBacnetPort};

inline input::Send read_property(const BacnetAddr& dest, std::uint32_t instance = 1) {
  return {service::ReadProperty{{ObjectType::Member::AnalogInput, instance}, PropertyIdentifier::Member::PresentValue,
                                std::nullopt},
          dest};
}

// A WriteProperty of an OctetString whose service parameters are exactly
// `parameter_length` octets long (at least 20).
input::Send write_octets(const BacnetAddr& dest, std::size_t parameter_length);

inline input::Tick tick(double now) { return {now}; }

inline input::Received from(const BacnetAddr& src, Bytes data) { return {std::move(data), src}; }

// A datagram as a device sends it: BVLC Original-Unicast, NPDU 01 00, the APDU.
inline Bytes device_datagram(std::initializer_list<std::uint8_t> apdu) {
  Bytes out{0x81, 0x0A, 0x00, static_cast<std::uint8_t>(6 + apdu.size()), 0x01, 0x00};
  out.insert(out.end(), apdu.begin(), apdu.end());
  return out;
}

// One segment of a ComplexACK for ReadProperty carrying `payload`.
Bytes ack_segment(std::uint8_t invoke_id, std::uint8_t sequence, bool more_follows, std::uint8_t window,
                  const Bytes& payload);

// The SegmentACK the stack sends for (invoke_id, sequence, window).
inline Bytes segment_ack(std::uint8_t invoke_id, std::uint8_t sequence, std::uint8_t window) {
  return {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x40, invoke_id, sequence, window};
}

// A datagram to send: a request (or request segment) carries its invoke ID.
inline Output transmit(const Bytes& data, const BacnetAddr& dest, std::optional<std::uint8_t> invoke_id = std::nullopt) {
  return output::Transmit{data, dest, invoke_id};
}
inline Output deadline(double at) { return output::Deadline{at}; }
inline Output event_out(Event e) { return output::Event{std::move(e)}; }
inline Output response(std::uint8_t id, Bytes payload, const BacnetAddr& peer) {
  return event_out(event::Response{id, std::move(payload), peer});
}
inline Output timeout(std::uint8_t id, const BacnetAddr& peer) { return event_out(event::Timeout{id, peer}); }
inline Output abort_event(std::uint8_t id, std::uint8_t reason, const BacnetAddr& peer) {
  return event_out(event::Abort{id, reason, peer});
}
// Error events for an Error PDU (`payload`: its parameters after the service
// choice), a Reject PDU and a request the stack did not send.
inline event::Error bacnet_error(std::uint8_t id, std::uint32_t error_class, std::uint32_t error_code,
                                 const BacnetAddr& peer, Bytes payload) {
  return {id, "error class=" + std::to_string(error_class) + " code=" + std::to_string(error_code), peer,
          std::move(payload), event::ErrorKind::Error, error_class, error_code, std::nullopt};
}
inline event::Error reject(std::uint8_t id, std::uint8_t reason, const BacnetAddr& peer) {
  return {id, "reject reason=" + std::to_string(reason), peer, {}, event::ErrorKind::Reject, std::nullopt,
          std::nullopt, reason};
}
inline Output local_error(std::uint8_t id, std::string message, const BacnetAddr& peer,
                          event::ErrorKind kind = event::ErrorKind::Local) {
  return event_out(event::Error{id, std::move(message), peer, {}, kind, std::nullopt, std::nullopt, std::nullopt});
}

std::vector<Bytes> transmitted(const std::vector<Output>& outputs);
std::vector<Event> events(const std::vector<Output>& outputs);
// One letter per output, in order: T Transmit, E Event, D Deadline.
std::string kinds(const std::vector<Output>& outputs);
// The invoke ID of a confirmed-request datagram the stack sent.
std::uint8_t invoke_id_of(const Bytes& request_datagram);

// Everything in the four tables, written out in a fixed order, so that two
// states can be compared whatever order the tables walk in.
std::string describe_tables(const Stack& stack);

// An ID is in use exactly when a transaction holds it; segmentation state
// exists only beside a transaction; no reassembly is over its limit.
void expect_invariants(const Stack& stack);

}  // namespace test
}  // namespace ferromesh::stack
